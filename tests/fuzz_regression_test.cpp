// Every input of the fuzz corpus, replayed through the fuzz target in the
// normal build: inputs that once broke something stay fixed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "reg_target.h"

namespace {

TEST(FuzzRegression, RegistryCorpusKeepsEveryConfigurationInvariant) {
    std::filesystem::path dir = TAL_FUZZ_CORPUS_DIR "/reg";
    size_t count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(tal_fuzz_registry_configuration(bytes.data(), bytes.size()), 0);
        count++;
    }
    EXPECT_GE(count, 5u) << "the corpus is missing";
}

} // namespace
