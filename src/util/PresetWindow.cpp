#include "util/PresetWindow.h"

util::WindowDelegate::~WindowDelegate() = default;
util::PresetWindow::~PresetWindow() = default;

util::PresetWindow* saveLoadView = nullptr;
