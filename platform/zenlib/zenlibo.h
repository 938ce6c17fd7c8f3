// Controller communication library, second part: error texts and record rate.
#pragma once

#include "zenlib.h"

extern "C" {
// Writes a NUL-terminated text for any return code, known or not.
ZReturnCode ZError(ZReturnCode rc, char* text, ZSize text_size);
// Starts the record stream with one record every `period` controller
// milliseconds; 0 stops it.
ZReturnCode ZRecordRate(ZHandle handle, double period);
}
