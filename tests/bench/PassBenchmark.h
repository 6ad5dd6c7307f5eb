#pragma once

namespace moravel::bench {

// A pass over 1000 rows whose destinations are held open, against a loop
// of the same exclusive opens; with and without "Also log failures".
void benchmarkBusyPass(int rounds);

// A pass that copies 256 MiB, against CopyFileA.
void benchmarkCopy(int rounds);

// Private memory, handles, GDI and USER objects before and after many
// passes over a few busy rows.
void benchmarkManyPasses(int passes);

// The longest a message sent from another thread waits while a pass copies
// 512 MiB.
void benchmarkWaitDuringCopy();

}  // namespace moravel::bench
