// The fuzz targets, each a function of any bytes; 0 when the input ran without a finding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

int FuzzLibraryDeframer(const uint8_t* data, size_t size);
int FuzzItemsmithFrameReader(const uint8_t* data, size_t size);
int FuzzNvList(const uint8_t* data, size_t size);
int FuzzLibraryReplies(const uint8_t* data, size_t size);
int FuzzDeviceRequests(const uint8_t* data, size_t size);
int FuzzFrameRoundTrip(const uint8_t* data, size_t size);

}  // namespace fuzz
