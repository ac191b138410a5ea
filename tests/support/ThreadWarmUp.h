#pragma once

// wxWidgets creates the lock around its per-thread bookkeeping on the first
// thread that starts, inside the uninstrumented library. Starting and joining
// one thread before the tests orders that creation before every later use,
// so ThreadSanitizer does not see a race in the toolkit's own setup.
void WarmUpToolkitThreads();
