// The module's single export: hands out the static module object.
#include "common/Components/ModuleObject.h"

extern "C" CV_EXPORT HRESULT GetComponentsModuleObject(void** module)
{
    if (!module) return cvn::E_INVALIDARG;
    *module = static_cast<cvn::IComponentsModule*>(&cvn::ModuleObject::Instance());
    return cvn::S_OK;
}
