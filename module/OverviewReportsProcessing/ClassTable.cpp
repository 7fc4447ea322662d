// Class identifiers of the module's components. Each component registers
// itself with ClassRegistration in its own source file; this file keeps the
// identifiers together so the host-facing list is visible in one place.
#include "ClassTable.h"
