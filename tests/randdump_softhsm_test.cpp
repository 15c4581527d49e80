// randdump against a real token: SoftHSM2, in a token store of the test's own.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/child.h"

namespace {

namespace fs = std::filesystem;
using testsupport::RunChild;
using testsupport::TempDir;

const std::string kBanner =
    "Sorvane $Revision: 1.1 $\nRandom data dump for PKCS#11 tokens, (c) Sorvane\n";

TEST(RanddumpOnSoftHsm, FullRunWritesTheWholeSample)
{
    const TempDir store;
    const auto made =
        RunChild({"/bin/bash", SOURCE_DIR "/scripts/softhsm-token.sh", store.Path().string()},
                 store.Path(), {});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    const TempDir work;
    const auto run = RunChild({RANDDUMP_PATH}, work.Path(),
                              {{"PKCS11_MODULE_PATH", SOFTHSM2_MODULE},
                               {"SOFTHSM2_CONF", (store / "softhsm2.conf").string()}});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, kBanner);
    EXPECT_EQ(run.err, "");
    ASSERT_TRUE(fs::exists(work / "random_0.txt"));
    EXPECT_EQ(fs::file_size(work / "random_0.txt"), 52428800U);
}

TEST(RanddumpOnSoftHsm, UninitialisedTokenInSlotZeroGivesStatusOneAndNoFile)
{
    const TempDir store;
    fs::create_directory(store / "tokens");
    std::ofstream(store / "softhsm2.conf")
        << "directories.tokendir = " << (store / "tokens").string()
        << "\nobjectstore.backend = file\nlog.level = ERROR\n";
    const TempDir work;
    const auto run = RunChild({RANDDUMP_PATH}, work.Path(),
                              {{"PKCS11_MODULE_PATH", SOFTHSM2_MODULE},
                               {"SOFTHSM2_CONF", (store / "softhsm2.conf").string()}});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, kBanner);
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(fs::is_empty(work.Path()));
}

}  // namespace
