#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/http.hpp"

namespace dapplewick::testing {

// Answers of the scripted transport as bytes: the seeds the unit tests leave behind, and the input the service
// fuzzer reads. One answer is its status (2 bytes, big-endian; 0 for an answer that is not HTTP), the number of
// its headers (1 byte), each header's name and value (each 1 length byte, then the text), and its body (3 length
// bytes, big-endian, then the bytes). Input that ends inside an answer ends that answer there; lengths beyond the
// end are cut to it, so every input is a script.
std::string encodeAnswer(const HTTPResponse& answer);

// With DAPPLEWICK_FUZZ_SEEDS naming a folder, the scripted transport appends every answer it gives during a unit
// test of a provider's service (tests/unit/<service>_test.cpp) to <folder>/<provider>/<test>, one seed per test.
void recordSeedAnswer(const HTTPResponse& answer);

}  // namespace dapplewick::testing
