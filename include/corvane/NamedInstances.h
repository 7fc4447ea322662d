// Named component instances (libsprocket.so): the host registers its services
// and the module's components under instance names; everyone resolves them.
// Thread safety: every function may be called from any thread at once.
#pragma once

#include "corvane/Components.h"

extern "C" {
/// Resolves name and queries riid on it; 0x80070490 for an unknown name. reserved must be 0.
CV_EXPORT HRESULT SkGetNamedInstance(const char16_t* name, uint32_t reserved, const GUID* riid, void** out);
/// Registers object (one reference kept) under name; 0x800700B7 when the name is taken.
CV_EXPORT HRESULT SkRegisterNamedInstance(const char16_t* name, cvn::IComponentBase* object);
/// Drops the name and its reference; 0x80070490 for an unknown name.
CV_EXPORT HRESULT SkUnregisterNamedInstance(const char16_t* name);
}
