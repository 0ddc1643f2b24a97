#pragma once

// The program's version: logged at start-up, carried in the requests' user agent and in the names
// of the in-process exception handler's dumps. A literal, so that it joins other literals.
#define TAVO_VERSION "1.1.83"
