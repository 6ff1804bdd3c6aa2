// Test support: the simulated drives (sim/) plugged into the product's
// dispatcher, so that unit tests and benchmarks run the real transports'
// code against them. The simulator itself knows nothing of the dispatcher;
// this adapter is the only place where the two meet.
#pragma once
#include "sim/sim_drive.h"

// Plugs the drives into the dispatcher: binds the transport seams of
// Transports(), sets the transport mode and fills DriveTable and its count.
// The drives must outlive the installation; SimUninstall() undoes it.
void SimInstall(SimDrives& drives);
// Restores the dispatcher's own transport seams and forgets the drives.
void SimUninstall();
