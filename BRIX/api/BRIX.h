// BRIX.h: the global engine of the exported functions.
//
// The operating modes (BRIXConfig) live with the support code, so that the
// rule store and the decisions can read them without reaching up here.
#ifndef BRIX_BRIX_H_
#define BRIX_BRIX_H_

#include <cstdint>

#include "BRIXConfig.h"

class BRIXEngine;

// The one engine, created by engine_start and destroyed by engine_stop.
extern BRIXEngine* engine;

struct ac_wrapper_event_s;
struct ac_wrapper_response_s;

// app_ctl's return code for the verdict in `response`: 1 for a block (0 while
// an upgrade waits for its manifest), 0xc0000000 for an error verdict, 0
// otherwise and for a null response.
uint32_t StatusForVerdict(const ac_wrapper_event_s* event,
                          const ac_wrapper_response_s* response);

#endif  // BRIX_BRIX_H_
