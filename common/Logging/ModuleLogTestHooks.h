// Tests only: remaking the module's file sink.
// Thread safety: call while nothing logs.
#pragma once

namespace cvn::log {

/// Unregisters and destroys the module's sink; with recreate, makes a new one from the current
/// module path and registers it.
void ResetModuleLogForTests(bool recreate);

}  // namespace cvn::log
