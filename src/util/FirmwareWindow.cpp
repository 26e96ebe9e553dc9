#include "util/FirmwareWindow.h"

util::FirmwareWindow::~FirmwareWindow() = default;

util::FirmwareWindow* fmUpdateVctl = nullptr;
