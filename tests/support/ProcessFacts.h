#pragma once

// What /proc says about this test process.

int OpenDescriptors();
long ResidentKb();
// CPU seconds used by every thread of this process but the main one.
double OtherThreadsCpuSeconds();
// CPU seconds used by the calling thread.
double ThisThreadCpuSeconds();
