#pragma once

class QThreadPool;

// Starts every thread `pool` may use now and keeps them for its lifetime. A thread starting
// later, when the process may be out of descriptors, needs one for its event dispatcher, and
// Qt's dispatchers abort the process when they cannot get it.
void startPoolThreads(QThreadPool &pool);
