// Backups on the default data path, end to end: the loaded library, the real
// transfer library and the appliance service. Pieces go out as blobs over
// the transfer service and come back through the data mover.
#include <gtest/gtest.h>

#include <string>

#include "integration/support_appliance.h"
#include "integration/support_backup.h"
#include "integration/support_sbt.h"
#include "kes_test.h"

using kes_test::backup_piece;
using kes_test::Channel;
using kes_test::Outcome;
using kes_test::restore_piece;

namespace {

class BfstBackup : public ::testing::Test {
protected:
    void SetUp() override
    {
        kes_test::clear_channel_env();
        ASSERT_NE(lib_.handle, nullptr);
    }
    // The library's configuration: nothing but the lines given, so the data
    // path is the default one.
    void configure(const std::string &ini = "DEBUG_LEVEL=debug\n")
    {
        kes_test::write_file(windir_.path() + "/librmanKESTRALON.ini", ini);
    }
    void start(appliance_config cfg = appliance_config()) { ASSERT_TRUE(app_.start(cfg)) << app_.last_error(); }
    void open(Channel &ch)
    {
        ASSERT_EQ(ch.init(lib_), 0);
        ASSERT_EQ(ch.init2(kes_test::login_params(app_.addr()).c_str()), 0) << ch.error();
    }
    std::string log() const { return kes_test::read_file(windir_.libdir() + "/rman0.log"); }

    kes_test::ScopedWindir windir_;
    kes_test::SbtLib lib_;
    kes_test::TestAppliance app_;
};

}  // namespace

TEST_F(BfstBackup, APieceBackedUpOnTheDefaultPathRestoresByteIdentical)
{
    configure();
    start();
    Channel ch;
    open(ch);
    Outcome o = backup_piece(ch, "piece", 65536, 20, 7);
    ASSERT_EQ(o.rc, 0) << o.error;
    EXPECT_NE(log().find("Connected to BFST"), std::string::npos) << "the piece did not travel on the BFST path";
    Outcome r;
    EXPECT_EQ(restore_piece(ch, "piece", 65536, 7, &r), 20) << r.error;
    EXPECT_EQ(ch.end(), 0);
}
