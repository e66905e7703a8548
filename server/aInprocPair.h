// A pair of sockets joined inside this process: the in-process transport is unreachable from
// any other process, so what a pair carries between two threads cannot be read, taken or forged
// from outside.
#pragma once

#include <czmq.h>

// Binds `bound` to an in-process endpoint of its own and connects `connected` to it; true when
// both succeeded.
bool aInprocPair_Join(zsock_t* bound, zsock_t* connected);
