// How many worker threads the strip writer and the strip reader use.
#ifndef COMMON_WORKER_COUNT_H
#define COMMON_WORKER_COUNT_H

// The number of workers TIFFSUITE_THREADS asks for (a whole number from
// 1, at most 64), or one per processor when it is unset or anything else.
unsigned workers_wanted();

#endif
