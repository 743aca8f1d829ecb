#ifndef HALVIK_H
#define HALVIK_H

// Everything a plug-in or a host needs of the host library halvik1. Hosts link the CMake
// target halvik1; plug-ins link halvik_api, this folder as include path, and find the
// library's symbols in the host that loads them.
// A host must therefore have halvik1 in its global scope: linked, or opened with RTLD_GLOBAL.

#include "address.h"
#include "apscontroller.h"
#include "apsdataconfirm.h"
#include "apsdataindication.h"
#include "apsdatarequest.h"
#include "debugprint.h"
#include "node.h"
#include "nodeevent.h"
#include "nodeinterface.h"
#include "zclframe.h"

#endif // HALVIK_H
