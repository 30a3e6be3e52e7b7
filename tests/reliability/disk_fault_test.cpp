// The gateway when the disk under the client caches fails it: a cache that
// cannot be written, a full disk, snapshots damaged on disk, and the daemon
// killed with SIGKILL in the middle of its writes. A call that cannot save
// answers 1 with a message naming the file or folder; a damaged snapshot
// counts as missing; no half-written snapshot is ever left where the loader
// looks.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <boost/json.hpp>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "data/dataset.h"
#include "reliability/gateway_fixture.h"
#include "sync/snapshot_cleanup.h"

namespace brevalon::reliability {
namespace {

namespace json = boost::json;

int64_t Int(const json::value& v) { return v.to_number<int64_t>(); }

// A tmpfs mounted on an existing folder for the life of the object; Mounted()
// is false where mounting is not allowed (not root, no mount namespace).
class TmpfsMount {
 public:
  TmpfsMount(const fs::path& where, unsigned long flags, const char* options) : FWhere(where) {
    FMounted = ::geteuid() == 0 && ::mount("tmpfs", where.c_str(), "tmpfs", flags, options) == 0;
  }
  ~TmpfsMount() {
    if (FMounted) ::umount2(FWhere.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
  bool Mounted() const { return FMounted; }

 private:
  fs::path FWhere;
  bool FMounted = false;
};

// Makes a folder unwritable: chmod 0500 where that binds the caller, a
// read-only tmpfs over it where the caller is root. Undone when destroyed.
class Unwritable {
 public:
  explicit Unwritable(const fs::path& where) : FWhere(where) {
    fs::permissions(where, fs::perms::owner_read | fs::perms::owner_exec);
    if (::access(where.c_str(), W_OK) != 0) {
      FWorks = true;
      return;
    }
    fs::permissions(where, fs::perms::owner_all);  // root: the mode binds nobody
    FMount = std::make_unique<TmpfsMount>(where, MS_RDONLY, "size=64k");
    FWorks = FMount->Mounted();
  }
  ~Unwritable() {
    std::error_code ec;
    if (!FMount) fs::permissions(FWhere, fs::perms::owner_all, ec);
  }
  bool Works() const { return FWorks; }

 private:
  fs::path FWhere;
  std::unique_ptr<TmpfsMount> FMount;
  bool FWorks = false;
};

// Names in a folder, without the folder.
std::set<std::string> Listing(const fs::path& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    names.insert(it->path().filename().string());
  }
  return names;
}

class DiskFaultTest : public GatewayFixture {
 protected:
  void SetUp() override {
    GatewayFixture::SetUp();
    StartGateway();
    rest = Rest();
    client::SignIn(*rest, "demo", "ivanov", "ivanov1", "");
  }
  void TearDown() override {
    rest.reset();
    GatewayFixture::TearDown();
  }

  json::object Tasks(const std::string& uid, int32_t version) {
    return client::ResultRecord("GetTaskList", TaskList(*rest, uid, version));
  }

  std::unique_ptr<client::RestTransport> rest;
};

TEST_F(DiskFaultTest, AnUnwritableCacheAnswers1WithTheFolder) {
  fs::create_directories(CacheDir() / "ro-phone");
  {
    // The client's own folder: the snapshot cannot be made.
    Unwritable guard(CacheDir() / "ro-phone");
    if (!guard.Works()) GTEST_SKIP() << "cannot make a folder unwritable here";
    const client::MethodReply reply = TaskList(*rest, "ro-phone");
    EXPECT_EQ(reply.ReturnCode, 1);
    EXPECT_NE(reply.Message.find((CacheDir() / "ro-phone").string()), std::string::npos) << reply.Message;
    EXPECT_TRUE(Listing(CacheDir() / "ro-phone").empty());
  }
  {
    // The cache folder: a new client's folder cannot be made.
    Unwritable guard(CacheDir());
    ASSERT_TRUE(guard.Works());
    const client::MethodReply reply = TaskList(*rest, "new-phone");
    EXPECT_EQ(reply.ReturnCode, 1);
    EXPECT_NE(reply.Message.find("new-phone"), std::string::npos) << reply.Message;
  }
  EXPECT_EQ(log.Entries().size(), 2u);
  // Writable again, the same calls succeed.
  EXPECT_EQ(TaskList(*rest, "ro-phone").ReturnCode, 0);
  EXPECT_EQ(TaskList(*rest, "new-phone").ReturnCode, 0);
}

TEST_F(DiskFaultTest, ADamagedSnapshotCountsAsMissing) {
  const std::string uid = "damaged-phone";
  const json::object full = Tasks(uid, 0);
  const std::size_t taskCount = full.at("tasks").as_array().size();
  ASSERT_GT(taskCount, 0u);
  const fs::path snapshot = CacheDir() / uid / "TaskList_1.cds";
  const auto size = static_cast<std::size_t>(fs::file_size(snapshot));

  const struct {
    const char* what;
    std::function<void()> damage;
  } cases[] = {
      {"empty", [&] { fs::resize_file(snapshot, 0); }},
      {"half", [&] { fs::resize_file(snapshot, size / 2); }},
      {"last byte gone", [&] { fs::resize_file(snapshot, size - 1); }},
      {"byte flipped", [&] {
         std::fstream f(snapshot, std::ios::in | std::ios::out | std::ios::binary);
         f.seekg(static_cast<std::streamoff>(size / 2));
         const char c = static_cast<char>(f.get());
         f.seekp(static_cast<std::streamoff>(size / 2));
         f.put(static_cast<char>(c ^ 0x5A));
       }},
      {"header only", [&] { fs::resize_file(snapshot, 8); }},
      {"text", [&] { std::ofstream(snapshot, std::ios::trunc) << "not a snapshot\n"; }},
      {"grown", [&] { std::ofstream(snapshot, std::ios::app) << std::string(4096, '\0'); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Int(Tasks(uid, 0).at("version")), 1);  // a fresh, whole snapshot 1
    // Compared against the whole snapshot, nothing changed.
    const json::object same = Tasks(uid, 1);
    EXPECT_EQ(Int(same.at("version")), 2);
    EXPECT_TRUE(same.at("tasks").as_array().empty());

    ASSERT_EQ(Int(Tasks(uid, 0).at("version")), 1);
    fs::remove(CacheDir() / uid / "TaskList_2.cds");
    c.damage();
    const json::object answer = Tasks(uid, 1);
    EXPECT_EQ(Int(answer.at("version")), 1);
    EXPECT_EQ(answer.at("tasks").as_array().size(), taskCount);
    EXPECT_NO_THROW(Dataset::LoadFromFile(snapshot));  // written anew, whole
  }
}

TEST_F(DiskFaultTest, AFullDiskAnswers1AndLeavesNoTornFile) {
  const std::string uid = "full-phone";
  const fs::path client = CacheDir() / uid;
  fs::create_directories(client);
  TmpfsMount disk(client, 0, "size=64k");
  if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here (needs root)";

  ASSERT_EQ(Int(Tasks(uid, 0).at("version")), 1);
  {
    // Snapshot 1 one row short of the list, so that answering a client that
    // holds version 1 takes a new file (an unchanged list takes none).
    Dataset held = Dataset::LoadFromFile(client / "TaskList_1.cds");
    ASSERT_GT(held.RecordCount(), 0u);
    held.First();
    held.Delete();
    held.SaveToFile(client / "TaskList_1.cds");
  }
  const auto read = [&](const char* name) {
    std::ifstream in(client / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string before = read("TaskList_1.cds");
  const auto fill = [&] {  // to the last byte
    {
      std::ofstream filler(client / "filler", std::ios::binary);
      const std::string block(4096, 'f');
      while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) && filler.flush()) {
      }
    }
    std::ofstream probe(client / "probe", std::ios::binary);
    probe << 'x';
    probe.flush();
    const bool full = !probe;
    probe.close();
    fs::remove(client / "probe");
    return full;
  };
  ASSERT_TRUE(fill()) << "the disk did not fill";
  const std::set<std::string> files = Listing(client);

  // A new snapshot 1 for a client that holds nothing, a snapshot 2 for one
  // that holds 1: neither can be written.
  for (const int32_t version : {0, 1}) {
    SCOPED_TRACE(version);
    const client::MethodReply reply = TaskList(*rest, uid, version);
    EXPECT_EQ(reply.ReturnCode, 1);
    EXPECT_NE(reply.Message.find(client.string()), std::string::npos) << reply.Message;
    EXPECT_NE(reply.Message.find("No space left"), std::string::npos) << reply.Message;
    EXPECT_EQ(Listing(client), files);  // no temporary file stays
    EXPECT_EQ(read("TaskList_1.cds"), before);  // the old snapshot is whole
  }

  fs::remove(client / "filler");
  const json::object again = Tasks(uid, 1);
  EXPECT_EQ(Int(again.at("version")), 2);
  EXPECT_NO_THROW(Dataset::LoadFromFile(client / "TaskList_2.cds"));
  EXPECT_NE(read("TaskList_2.cds"), before);  // with the row snapshot 1 lacked

  // Nothing changed since version 2: answered on a full disk, as the new
  // version's snapshot needs no space.
  ASSERT_TRUE(fill()) << "the disk did not fill";
  const json::object unchanged = Tasks(uid, 2);
  EXPECT_EQ(Int(unchanged.at("version")), 3);
  EXPECT_TRUE(unchanged.at("tasks").as_array().empty());
  EXPECT_EQ(read("TaskList_3.cds"), read("TaskList_2.cds"));
}

// ---- Interrupted saves' temporaries ------------------------------------------

TEST(SnapshotCleanupTest, OnlyTheTemporaryPatternMatches) {
  for (const char* name :
       {".TaskList_1.cds.Ab12Cd", ".a.cds.000000", ".UserList_2147483646.cds.zZ9aA0",
        ".New_correspondence_-3.cds.XXXXXX"}) {
    EXPECT_TRUE(IsSnapshotTemporaryName(name)) << name;
  }
  for (const char* name :
       {"", ".", "..", "TaskList_1.cds", ".TaskList_1.cds", "TaskList_1.cds.Ab12Cd",
        ".TaskList_1.cds.Ab12C", ".TaskList_1.cds.Ab12Cde", ".TaskList_1.cds.Ab-2Cd",
        ".TaskList_1.cds.Ab 2Cd", ".TaskList_1.cdx.Ab12Cd", ".TaskList_1.CDS.Ab12Cd",
        "..cds.Ab12Cd", ".cds.Ab12Cd", ".TaskList_1.cds.Ab12Cd~", ".TaskList_1.cds..b12Cd"}) {
    EXPECT_FALSE(IsSnapshotTemporaryName(name)) << name;
  }
}

TEST(SnapshotCleanupTest, RemovesTemporariesInClientFoldersOnlyAndFollowsNoLink) {
  appserver::testing::TempDir dir;
  const fs::path cache = dir.Path() / "Cache";
  const fs::path outside = dir.Path() / "outside";
  fs::create_directories(cache / "phone");
  fs::create_directories(cache / "tablet" / "deeper");
  fs::create_directories(outside);
  const auto write = [](const fs::path& p) { std::ofstream(p) << "x"; };
  write(cache / "phone" / ".TaskList_3.cds.Ab12Cd");   // removed
  write(cache / "phone" / ".UserList_1.cds.000000");   // removed
  write(cache / "tablet" / ".TaskList_1.cds.Qq77Zz");  // removed
  write(cache / "phone" / "TaskList_3.cds");
  write(cache / "phone" / ".TaskList_3.cds");
  write(cache / "phone" / ".TaskList_3.cds.Ab12C");
  write(cache / "phone" / "notes.txt");
  write(cache / ".TaskList_1.cds.Ab12Cd");                            // not in a client folder
  write(cache / "tablet" / "deeper" / ".TaskList_1.cds.Ab12Cd");      // below a client folder
  fs::create_directory(cache / "tablet" / ".TaskList_2.cds.Dir001");  // a folder, not a file
  // Links: to a folder holding a temporary, and to a file, named as a temporary.
  write(outside / ".TaskList_1.cds.Ab12Cd");
  write(outside / "precious");
  fs::create_directory_symlink(outside, cache / "linked");
  fs::create_symlink(outside / "precious", cache / "phone" / ".TaskList_9.cds.Link00");

  const std::set<std::string> before = TreeOf(dir.Path());
  const SnapshotCleanup result = RemoveSnapshotTemporaries(cache);
  EXPECT_EQ(result.Removed, 3u);
  EXPECT_EQ(result.Failed, 0u);
  EXPECT_FALSE(result.Truncated);
  std::set<std::string> expected = before;
  for (const char* gone :
       {"Cache/phone/.TaskList_3.cds.Ab12Cd", "Cache/phone/.UserList_1.cds.000000",
        "Cache/tablet/.TaskList_1.cds.Qq77Zz"}) {
    EXPECT_EQ(expected.erase(gone), 1u) << gone;
  }
  EXPECT_EQ(TreeOf(dir.Path()), expected);
  EXPECT_TRUE(fs::exists(outside / "precious"));

  // Nothing left to do; a missing cache folder is nothing to clean; the
  // entry bound stops the walk.
  EXPECT_EQ(RemoveSnapshotTemporaries(cache).Removed, 0u);
  EXPECT_EQ(RemoveSnapshotTemporaries(dir.Path() / "none").Removed, 0u);
  write(cache / "phone" / ".TaskList_4.cds.Ab12Cd");
  const SnapshotCleanup bounded = RemoveSnapshotTemporaries(cache, 2);
  EXPECT_TRUE(bounded.Truncated);
}

// ---- SIGKILL in the middle of writes ----------------------------------------

// The built daemon on the fixture's data folder, ports chosen by the system.
class Daemon : public DaemonProcess {
 public:
  Daemon(const fs::path& program, const fs::path& dataDir, const fs::path& errFile)
      : DaemonProcess(program, dataDir, errFile.parent_path() / "daemon-out.txt", errFile) {}
};

// Clients that fetch their lists over and over, two phones per UID, each
// with a version of its own, until the daemon goes away.
void DriveUntilGone(uint16_t port, std::atomic<int>& calls, std::atomic<bool>& stop) {
  const char* logins[] = {"ivanov", "petrova", "sidorov", "kuznetsova"};
  std::vector<std::thread> phones;
  for (int i = 0; i < 4; ++i) {
    phones.emplace_back([&, i] {
      try {
        client::RestOptions o;
        o.Host = "127.0.0.1";
        o.Port = port;
        o.Timeout = std::chrono::seconds(10);
        client::RestTransport t(o);
        client::SignIn(t, "demo", logins[i], std::string(logins[i]) + "1", "");
        const std::string uid = i % 2 == 0 ? "kill-a" : "kill-b";
        int32_t tasks = 0, users = 0;
        for (int n = 0; !stop; ++n) {
          // Now and then a version the phone no longer holds, or none.
          const int32_t asked = n % 5 == 4 ? 0 : n % 5 == 3 ? tasks - 1 : tasks;
          const json::object list = client::ResultRecord(
              "GetTaskList", TaskList(t, uid, asked));
          tasks = static_cast<int32_t>(Int(list.at("version")));
          const json::object people = client::ResultRecord(
              "GetUserList",
              client::CallRequestMethod(t, "GetUserList", {{"FStUID", uid}, {"FNDataSetVersion", users}}));
          users = static_cast<int32_t>(Int(people.at("version")));
          calls += 2;
        }
      } catch (const std::exception&) {
        // The daemon was killed under the call.
      }
    });
  }
  for (auto& p : phones) p.join();
}

TEST_F(DiskFaultTest, SigkillInTheMiddleOfWritesLeavesOnlyWholeSnapshots) {
  const fs::path program = fs::path(BREVALON_BIN_DIR) / "brevalon24";
  if (!fs::exists(program)) GTEST_SKIP() << program << " is not built";
  const char* roundsText = std::getenv("BREVALON_KILL_ROUNDS");
  const int rounds = roundsText ? std::max(1, std::atoi(roundsText)) : 2;
  const fs::path errFile = dir.Path() / "daemon-stderr.txt";
  std::mt19937 random(12345);
  int checkedFiles = 0;
  std::size_t tempFiles = 0;
  std::set<fs::path> lastTemps;  // left by the last kill (each start removes those before)

  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    Daemon daemon(program, DataDir(), errFile);
    ASSERT_NE(daemon.HttpPort(), 0) << daemon.Output();
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    std::thread driver([&] { DriveUntilGone(daemon.HttpPort(), calls, stop); });
    // Kill at some moment after the writes are well under way.
    const int killAfter = 8 + static_cast<int>(random() % 24);
    while (calls < killAfter) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    daemon.Kill();
    stop = true;
    driver.join();

    // Whatever the loader would look at is a whole snapshot.
    lastTemps.clear();
    for (fs::recursive_directory_iterator it(CacheDir()), end; it != end; ++it) {
      if (!it->is_regular_file()) continue;
      const std::string name = it->path().filename().string();
      if (name.starts_with(".")) {
        lastTemps.insert(it->path());  // an interrupted save's hidden temporary: never read
        ++tempFiles;
        EXPECT_FALSE(name.ends_with(".cds")) << it->path();
        EXPECT_TRUE(IsSnapshotTemporaryName(name)) << it->path();
        continue;
      }
      EXPECT_TRUE(name.ends_with(".cds")) << it->path();
      EXPECT_NO_THROW(Dataset::LoadFromFile(it->path())) << it->path();
      ++checkedFiles;
    }
  }

  // Temporaries of saves interrupted elsewhere, beside files that only look
  // like them: the restart removes the former and keeps the latter.
  const std::set<std::string> keep = {"TaskList_1.cds", ".TaskList_1.cds", ".TaskList_1.cds.tmp",
                                      "TaskList_1.cds.Ab12Cd", ".TaskList_1.cds.Ab12C"};
  for (const char* uid : {"kill-a", "kill-b"}) {
    std::ofstream(CacheDir() / uid / ".UserList_7.cds.Qz09Aa") << "interrupted";
  }
  fs::create_directories(CacheDir() / "lookalikes");
  for (const std::string& name : keep) std::ofstream(CacheDir() / "lookalikes" / name) << "kept";

  // After a restart every phone carries on from whatever version it asks for.
  Daemon daemon(program, DataDir(), errFile);
  ASSERT_NE(daemon.HttpPort(), 0) << daemon.Output();
  EXPECT_NE(daemon.Output().find("removed " + std::to_string(lastTemps.size() + 2) +
                                 " interrupted snapshot temporaries"),
            std::string::npos)
      << daemon.Output();
  for (fs::recursive_directory_iterator it(CacheDir()), end; it != end; ++it) {
    EXPECT_FALSE(IsSnapshotTemporaryName(it->path().filename().string())) << it->path();
  }
  EXPECT_EQ(Listing(CacheDir() / "lookalikes"), keep);
  client::RestOptions o;
  o.Host = "127.0.0.1";
  o.Port = daemon.HttpPort();
  client::RestTransport t(o);
  client::SignIn(t, "demo", "ivanov", "ivanov1", "");
  for (const char* uid : {"kill-a", "kill-b"}) {
    for (int32_t version = 0; version < 4; ++version) {
      EXPECT_EQ(TaskList(t, uid, version).ReturnCode, 0) << uid << " " << version;
    }
  }
  daemon.Kill();
  std::ifstream err(errFile);
  const std::string errText((std::istreambuf_iterator<char>(err)), {});
  for (const char* password : {"ivanov1", "petrova1", "sidorov1", "kuznetsova1"}) {
    EXPECT_EQ(errText.find(password), std::string::npos);
    EXPECT_EQ(daemon.Output().find(password), std::string::npos);
  }
  RecordProperty("rounds", rounds);
  RecordProperty("snapshots_checked", checkedFiles);
  RecordProperty("temporaries_left", static_cast<int>(tempFiles));
  std::printf(
      "SIGKILL rounds %d: %d snapshot loads checked, %zu hidden temporaries found after the "
      "kills\n",
      rounds, checkedFiles, tempFiles);
}

}  // namespace
}  // namespace brevalon::reliability
