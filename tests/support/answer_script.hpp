#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/process.hpp"
#include "model/http.hpp"
#include "model/provider.hpp"

namespace dapplewick::testing {

// Answers of the scripted transport as bytes: the seeds the unit tests leave behind, and the input the service
// fuzzer reads. One answer is its status (2 bytes, big-endian; 0 for an answer that is not HTTP), the number of
// its headers (1 byte), each header's name and value (each 1 length byte, then the text), and its body (3 length
// bytes, big-endian, then the bytes). Input that ends inside an answer ends that answer there; lengths beyond the
// end are cut to it, so every input is a script.
std::string encodeAnswer(const HTTPResponse& answer);
std::vector<HTTPResponse> decodeAnswers(std::string_view bytes);

// A tool's run is answered from the same script: its exit status is the answer's status, what it printed on
// standard output the body, on standard error the header "stderr"; a header "timedOut" marks a run the idle limit
// stopped.
HTTPResponse answerOfToolResult(const ProcessResult& result);
ProcessResult toolResultOfAnswer(const HTTPResponse& answer);

// Where the unit tests leave their scripted answers as seeds for the service fuzzer: the folder
// DAPPLEWICK_FUZZ_SEEDS names, read once here and nowhere else. Empty when the variable is unset or empty, and then
// no seed is written.
const std::filesystem::path& seedFolder();

// Appends `answer` to the running test's seed for `provider`, <seedFolder()>/<provider>/<Suite.Test>: the scripted
// transport of a world built for a provider calls it for every answer it gives. Nothing is written without a seed
// folder or outside a test.
void recordSeedAnswer(Provider provider, const HTTPResponse& answer);

}  // namespace dapplewick::testing
