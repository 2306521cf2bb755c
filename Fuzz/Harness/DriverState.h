// The driver core linked into a host program, as a freshly loaded image has
// it. A simulated boot loads the driver image afresh (Sim::DriverImage); the
// harnesses call the driver core directly instead, many times in one
// process, so each run puts the driver's globals back to their load-time
// values and runs the library constructors on its own platform.
#pragma once

#include "Sim/Platform.h"

namespace Fuzz {

// Every global of Driver/, Usb/, Update/ and Image/ back to the value it has
// when the image loads.
void ForgetDriverState();

// The library constructors of the driver's module (boot and runtime services
// tables, the HOB list) run against Boot's system table, as
// ProcessLibraryConstructorList does before the entry point.
void RunLibraryConstructors(Sim::Platform &Boot);

}  // namespace Fuzz
