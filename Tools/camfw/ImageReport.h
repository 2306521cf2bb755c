// camfw inspect: what an image (or the image inside a capsule) holds, read
// with the driver's own parsers where the driver reads it: the kind, the
// header format, the two-slot header and slot words, the version words and
// version data that go into "Setup", the markers the roads look for, and
// the signature trailer with the digest the driver recovers from it,
// compared with the SHA-256 of what the driver will write inside the
// update window.
#pragma once

#include <cstddef>
#include <string>

#include "Tools/camfw/FileBytes.h"

namespace Camfw {

struct InspectOptions {
  // The chunk length the window digest is computed for (the camera's; the
  // simulated two-slot cameras use 64).
  size_t Chunk = 64;
};

// The report for File's bytes (an image, or a capsule around one). Throws
// Error for an empty file.
std::string InspectFile(const std::string &Name, const Bytes &File, const InspectOptions &Options);

}  // namespace Camfw
