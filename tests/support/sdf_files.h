// SDF files made on the spot, shared by the unit and the integration tests.
//
//   MakeSdf(body, length)     an SDF file for body: a correct header (id all zeros, made by
//                             the tool's own MakeSdfHeader), then body; a given length
//                             >= 0 goes into data_length in place of the body's size
//   RandomBytes(count, seed)  count bytes from a fixed generator: the same seed, the same bytes
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

std::vector<uint8_t> MakeSdf(const std::vector<uint8_t>& body, int64_t data_length_override = -1);
std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed);
