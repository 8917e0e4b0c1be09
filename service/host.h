// The entry point, the service body and its event loop.
#pragma once

#include <string>

#include "platform.h"

extern Socket g_registration_socket;

// The program's entry point (main calls it).
int tarvik_main(int argc, char** argv);

// Start-up, the loop and shutdown; run in both service and console mode.
// False when the service could not start: the reason is in the log, and
// in *failure as one line for the service manager's record.
bool service_body(std::string* failure);
bool service_start(std::string* failure);
void loop_iteration();
void shutdown_service();
