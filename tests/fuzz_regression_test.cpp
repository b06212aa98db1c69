// Every input of the fuzz corpora, replayed through the fuzz targets in the
// normal build: inputs that once broke something stay fixed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "info_target.h"
#include "oid_target.h"
#include "reg_target.h"
#include "rx_target.h"

namespace {

// Runs `target` on every file of corpus `name`; returns how many there were.
size_t replay(const char *name, int (*target)(const uint8_t *, size_t)) {
    std::filesystem::path dir = std::filesystem::path(TAL_FUZZ_CORPUS_DIR) / name;
    size_t count = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(target(bytes.data(), bytes.size()), 0);
        count++;
    }
    return count;
}

TEST(FuzzRegression, RegistryCorpusKeepsEveryConfigurationInvariant) {
    EXPECT_GE(replay("reg", tal_fuzz_registry_configuration), 5u) << "the corpus is missing";
}

TEST(FuzzRegression, InformationFrameCorpusStaysInsideItsFields) {
    EXPECT_GE(replay("info", tal_fuzz_information_frames), 6u) << "the corpus is missing";
}

TEST(FuzzRegression, RequestCorpusKeepsTheWrappersRules) {
    EXPECT_GE(replay("oid", tal_fuzz_requests), 6u) << "the corpus is missing";
}

TEST(FuzzRegression, ReceiveCorpusStaysInsideItsBuffers) {
    EXPECT_GE(replay("rx", tal_fuzz_receive), 8u) << "the corpus is missing";
}

} // namespace
