#pragma once

namespace moravel::bench {

// How long a service that runs the destination is down while a deploy
// replaces it with a 256 MiB file, against a bare stop and start of the same
// service.
void benchmarkDeploy(int rounds);

}  // namespace moravel::bench
