// The classes and functions of _engine, for registration by binding/engine/module.cc.
#pragma once

#include "binding/common/py.h"

namespace drelix::py {

// Built once and cached; borrowed references, null with an exception set on failure.
PyTypeObject* reader_type();
PyTypeObject* writer_type();

// binding/engine/maintenance.cc and binding/engine/salvage.cc
extern PyMethodDef kEngineValidateDef;
extern PyMethodDef kEngineRebuildDef;
extern PyMethodDef kEngineRepackDef;
extern PyMethodDef kEngineSurveyDef;
extern PyMethodDef kEngineReadListedFrameDef;

}  // namespace drelix::py
