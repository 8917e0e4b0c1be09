// The entry point, the service body and its event loop.
#pragma once

#include "platform.h"

extern Socket g_registration_socket;

// The program's entry point (main calls it).
int tarvik_main(int argc, char** argv);

// Start-up, the loop and shutdown; run in both service and console mode.
// False when the service could not start (the reason is in the log).
bool service_body();
bool service_start();
void loop_iteration();
void shutdown_service();
