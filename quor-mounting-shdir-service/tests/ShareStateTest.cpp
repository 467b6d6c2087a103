#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "LogCapture.h"
#include "mount/DavfsDaemon.h"
#include "mount/MountTable.h"
#include "mount/ShareStateStore.h"
#include "mount/StagingName.h"
#include "mount/StopPolicy.h"

namespace qmss {
namespace {

namespace fs = std::filesystem;
using test::LogCapture;
using test::TempDir;

ShareRecord sample() {
    return ShareRecord{812,
                       5001,
                       2001,
                       2002,
                       "alice",
                       "/home/alice",
                       "host/My Share",
                       "/home/alice/davfs//My Share",
                       "My Share",
                       "/run/quor-mounting-shdir-service/staging/u2001-00ff-My_Share"};
}

TEST(StopDecision, OnlyAJobThatStartsTheUnitAgainKeepsTheShares) {
    EXPECT_EQ(decide_stop(std::string("restart")), StopKind::Restart);
    EXPECT_EQ(decide_stop(std::string("try-restart")), StopKind::Restart);
    EXPECT_EQ(decide_stop(std::string("reload-or-restart")), StopKind::Restart);
    // A plain stop, a shutdown (a stop job), anything else or no answer at all.
    for (const char* t : {"stop", "start", "reload", "verify-active", "", "Restart", "restart "}) {
        EXPECT_EQ(decide_stop(std::string(t)), StopKind::Final) << t;
    }
    EXPECT_EQ(decide_stop(std::nullopt), StopKind::Final);
}

TEST(StopDecision, WithoutASystemBusTheProbeAnswersNothingQuickly) {
    LogCapture log;
    TempDir dir;
    const char* old = getenv("DBUS_SYSTEM_BUS_ADDRESS");
    std::string saved = old ? old : "";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.path() + "/no-bus").c_str(), 1);
    SystemdStopProbe probe(500);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(probe.pendingJobType(), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
    if (old) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", saved.c_str(), 1);
    } else {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
}

TEST(StateRecords, EveryFieldRoundTripsWhateverItsBytes) {
    ShareRecord odd = sample();
    odd.folder = std::string("a b%c\nd\te\x01\xff", 12);
    odd.username = "x y";
    odd.path = "/home/alice/davfs//a b%c";
    odd.name = "a b%c";
    std::vector<ShareRecord> in{sample(), odd};
    size_t bad = 9;
    std::vector<ShareRecord> out = parse_share_records(format_share_records(in), &bad);
    EXPECT_EQ(bad, 0u);
    ASSERT_EQ(out.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(out[i].mnt_id, in[i].mnt_id);
        EXPECT_EQ(out[i].pid, in[i].pid);
        EXPECT_EQ(out[i].uid, in[i].uid);
        EXPECT_EQ(out[i].gid, in[i].gid);
        EXPECT_EQ(out[i].username, in[i].username);
        EXPECT_EQ(out[i].homedir, in[i].homedir);
        EXPECT_EQ(out[i].folder, in[i].folder);
        EXPECT_EQ(out[i].path, in[i].path);
        EXPECT_EQ(out[i].name, in[i].name);
        EXPECT_EQ(out[i].staging, in[i].staging);
    }
    // The text itself, written out by hand.
    EXPECT_EQ(format_share_records({sample()}),
              "quor-shares 1\nshare 812 5001 2001 2002 alice /home/alice host/My%20Share "
              "/home/alice/davfs//My%20Share My%20Share "
              "/run/quor-mounting-shdir-service/staging/u2001-00ff-My_Share\n");
}

TEST(StateRecords, MalformedLinesAreSkippedAndCounted) {
    const std::string good = format_share_records({sample()}).substr(14);  // one line
    const std::string lines[] = {
        "share 812 5001 2001 2002 alice /home/alice f /home/alice/davfs/f f\n",  // a field short
        "share -1 5001 2001 2002 alice /home/alice f /home/alice/davfs/f f /s\n",
        "share 0 5001 2001 2002 alice /home/alice f /home/alice/davfs/f f /s\n",     // no id
        "share 812 0 2001 2002 alice /home/alice f /home/alice/davfs/f f /s\n",      // no pid
        "share 812 5001 2001 2002 alice /home/alice f /etc/f f /s\n",                // outside the home
        "share 812 5001 2001 2002 alice /home/alice f /home/alice/../etc/f f /s\n",  // climbs out
        "share 812 5001 2001 2002 alice /home/alice f /home/alice/davfs/f g /s\n",   // name not the last part
        "share 812 5001 2001 2002 alice /home/alice f /home/alice/davfs/.. .. /s\n",
        "share 812 5001 2001 2002 alice /home/alice f /home/alice/davfs/f%2Fg f%2Fg /s\n",  // slash in the name
        "share 812 5001 2001 2002 alice /home/alice f /home/alice/davfs/f f s\n",           // relative staging
        "share 812 5001 2001 2002 alice /home/alice f%4 /home/alice/davfs/f f /s\n",        // cut escape
        "share 812 5001 2001 2002 alice /home/alice f%zz /home/alice/davfs/f f /s\n",
        "share 99999999999999999999999 5001 2001 2002 alice /home/alice f /home/alice/davfs/f f /s\n",
        "mount 812 5001 2001 2002 alice /home/alice f /home/alice/davfs/f f /s\n",
    };
    std::string text = "quor-shares 1\n" + good;
    for (const std::string& l : lines)
        text += l;
    size_t bad = 0;
    std::vector<ShareRecord> out = parse_share_records(text, &bad);
    EXPECT_EQ(out.size(), 1u);
    EXPECT_EQ(bad, std::size(lines));
    // Without the first line nothing is believed.
    EXPECT_TRUE(parse_share_records(good).empty());
    EXPECT_TRUE(parse_share_records("quor-shares 2\n" + good).empty());
}

TEST(StateStore, SavesAtomicallyAndReadsOnlyItsOwnPrivateFile) {
    LogCapture log;
    TempDir root;
    const std::string dir = root.path() + "/run";
    ShareStateStore store(dir);
    EXPECT_TRUE(store.load().empty());  // nothing yet, nothing logged
    ASSERT_TRUE(store.save({sample()}));
    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((dir + "/shares").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(store.load().size(), 1u);
    // A file others could have written is not believed, nor one behind a link.
    chmod((dir + "/shares").c_str(), 0644);
    EXPECT_TRUE(store.load().empty());
    chmod((dir + "/shares").c_str(), 0600);
    chmod(dir.c_str(), 0755);
    EXPECT_TRUE(store.load().empty());
    chmod(dir.c_str(), 0700);
    fs::rename(dir + "/shares", root.path() + "/planted");
    fs::create_symlink(root.path() + "/planted", dir + "/shares");
    EXPECT_TRUE(store.load().empty());
}

TEST(StagingNames, DerivedFromUserAndShareAlone) {
    const std::string a = staging_name(2001, "host/docs", 0);
    EXPECT_EQ(a, staging_name(2001, "host/docs", 0));   // the same every time
    EXPECT_NE(a, staging_name(2002, "host/docs", 0));   // another user
    EXPECT_NE(a, staging_name(2001, "other/docs", 0));  // another share, same base name
    EXPECT_NE(a, staging_name(2001, "host/docs", 1));   // the same share mounted twice
    EXPECT_EQ(a.rfind("u2001-", 0), 0u);
    // FNV-1a of "host/docs", worked out separately.
    EXPECT_EQ(stable_hash(""), 14695981039346656037ull);
    EXPECT_EQ(stable_hash("a"), 0xaf63dc4c8601ec8cull);
    for (const std::string& folder : {std::string("../../etc"), std::string("a/b c$`\"\n"), std::string(8000, 'n'),
                                      std::string(), std::string("x/")}) {
        std::string n = staging_name(7, folder, 3);
        EXPECT_LE(n.size(), 80u);
        EXPECT_EQ(n.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-"),
                  std::string::npos)
            << n;
        EXPECT_NE(n, ".");
        EXPECT_NE(n, "..");
    }
}

TEST(MountTable, ParsesIdsPathsTypesAndSources) {
    const std::string text =
        "22 1 0:21 / /proc rw,nosuid - proc proc rw\n"
        "812 30 0:77 / /home/alice/davfs/My\\040Share rw,nosuid,nodev shared:1 master:2 - fuse "
        "http://127.0.0.1:9843/ rw,user_id=0\n"
        "garbage line\n"
        "x 1 0:1 / /a rw - tmpfs none rw\n";
    std::vector<MountEntry> t = parse_mountinfo(text);
    ASSERT_EQ(t.size(), 2u);
    std::optional<MountEntry> e = find_mount(t, 812);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->mount_point, "/home/alice/davfs/My Share");
    EXPECT_EQ(e->fstype, "fuse");
    EXPECT_EQ(e->source, "http://127.0.0.1:9843/");
    EXPECT_FALSE(find_mount(t, 813));
    EXPECT_EQ(fold_slashes("/home/alice/davfs//share/"), "/home/alice/davfs/share");
}

TEST(DavfsDaemon, PidFileAndCacheNamesFollowTheMountPoint) {
    EXPECT_EQ(davfs_pid_file_name("/run/quor-mounting-shdir-service/staging/u1-ab-s"),
              "run-quor-mounting-shdir-service-staging-u1-ab-s.pid");
    TempDir cache;
    fs::create_directories(cache.path() + "/127.0.0.1+run-s-u1-ab-s+root/lost+found");
    fs::create_directories(cache.path() + "/127.0.0.1+run-s-u1-ab-s-1+root");
    std::ofstream(cache.path() + "/127.0.0.1+run-s-u1-ab-s+root/index") << "x";
    std::ofstream(cache.path() + "/127.0.0.1+run-s-u1-ab-s+root/big.bin-Xa1") << "x";
    std::ofstream(cache.path() + "/127.0.0.1+run-s-u1-ab-s-1+root/other") << "x";
    std::vector<std::string> files = davfs_cache_files(cache.path(), "/run/s/u1-ab-s");
    EXPECT_EQ(files, (std::vector<std::string>{cache.path() + "/127.0.0.1+run-s-u1-ab-s+root/big.bin-Xa1",
                                               cache.path() + "/127.0.0.1+run-s-u1-ab-s+root/lost+found"}));
    // No pid file, no daemon.
    EXPECT_FALSE(open_davfs_daemon(cache.path(), "/run/s/u1-ab-s"));
}

}  // namespace
}  // namespace qmss
