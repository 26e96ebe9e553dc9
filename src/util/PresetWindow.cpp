#include "util/PresetWindow.h"

util::PresetWindow::~PresetWindow() = default;

util::PresetWindow* saveLoadView = nullptr;
