#pragma once

// Set-up of the toolkit that every test program makes before its tests.
//
// An assertion inside wxWidgets becomes a test failure instead of a message
// on standard error (or a dialog that waits for a click).
//
// wxWidgets creates the lock around its per-thread bookkeeping on the first
// thread that starts, inside the uninstrumented library. Starting and joining
// one thread first orders that creation before every later use, so
// ThreadSanitizer does not see a race in the toolkit's own set-up.
void SetUpToolkitForTests();
