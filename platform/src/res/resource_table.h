// The registered module resources, shared by the string (resource.cpp) and icon
// (icon.cpp) halves of the resource code.
#pragma once

#include <shared_mutex>

#include "nxpal/resource.h"

namespace nxpal {

// Guards the table of registered modules. Readers hold it shared for as long as they
// read a module's tables (those vanish with the module); registration holds it
// exclusively. Lock order: this lock before the icon table's lock.
std::shared_mutex& ModulesLock();

// The tables of a module, or null. The caller holds ModulesLock().
const NxModuleResources* FindModuleLocked(HMODULE module);

// The program's own module handle.
HMODULE ProgramModule();

// Destroys the shared icons of a module that is being unregistered. The caller holds
// ModulesLock() exclusively. Defined in icon.cpp.
void DropSharedIconsLocked(HMODULE module);

}  // namespace nxpal
