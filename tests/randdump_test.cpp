// randdump run as users run it, on a SoftHSM2 token at slot 0 reached through the fault shim.
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <regex>

#include "evidence/checks.h"
#include "support/support.h"
#include "token/resultidentifier.h"

#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;

constexpr std::uintmax_t kSampleSize = 52428800;
constexpr uid_t kNobody = 65534;
const std::string kBanner =
    "Sorvane $Revision: 1.1 $\nRandom data dump for PKCS#11 tokens, (c) Sorvane\n";
const std::string kOld = "an earlier sample that must survive a failed run\n";
const std::string kRecord = "record.json";
const std::string kOldRecord = "{\"an earlier record\": \"that must describe the sample kept\"}\n";
const std::string kBeside = "randdump: the record of this run is record.json.failed\n";
// A token label with a C0 control, a C1 control in one byte and in UTF-8, then an accented
// letter, which stays as it is.
const std::string kControls = "\x1b[2J\x9b\xc2\x9b\xc3\xa9";
const std::string kControlsShown = "\\x1B[2J\\x9B\\xC2\\x9B\xc3\xa9";

// Programs that run randdump as another user, under a file size limit, or without /proc.
const std::vector<std::string> kAsNobody{"/usr/bin/setpriv", "--reuid=" + std::to_string(kNobody),
                                         "--regid=" + std::to_string(kNobody), "--clear-groups"};
const std::vector<std::string> kSizeLimit{"/bin/sh", "-c", "ulimit -f 20000 && exec \"$0\""};
[[maybe_unused]] const std::vector<std::string> kNoProc{
    "/usr/bin/unshare", "--mount", "/bin/sh", "-c", "mount -t tmpfs none /proc && exec \"$0\""};

// As on a file system without unnamed files: open() with O_TMPFILE fails.
void DenyUnnamedFiles()
{
    std::array<sock_filter, 6> filter{{
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    }};
    const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(126);
}

// p11-kit's proxy as configured for the tests alone, in a mount namespace of randdump's: SoftHSM2
// only, whatever other modules the machine registers (a lab's has tpm2-pkcs11 and OpenSC), and no
// user's configuration.
void OwnProxyConfiguration()
{
    const char *modules = "/usr/share/p11-kit/modules";
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", modules, "tmpfs", 0, "size=64k") != 0)
        _exit(126);
    std::ofstream(std::string(modules) + "/softhsm2.module") << "module: " SOFTHSM2_MODULE "\n";
    if (access("/etc/pkcs11", F_OK) == 0 &&
        mount("tmpfs", "/etc/pkcs11", "tmpfs", 0, "size=64k") != 0)
        _exit(126);
    setenv("HOME", "/nonexistent", 1);
    unsetenv("XDG_CONFIG_HOME");
}

// ext2 reserves nothing in advance: space can be taken from under a run.
void Ext2(const fs::path &dir)
{
    const std::string image = dir.string() + ".img";
    const std::string make = "truncate -s 64M " + image + " && mkfs.ext2 -q " + image +
                             " && mount -o loop " + image + " " + dir.string() + " && rm " + image;
    ASSERT_EQ(std::system(make.c_str()), 0);
}

struct Options {
    std::string script{};                              // for the shim
    std::function<void(const fs::path &dir)> setUp{};  // in the test, before the run
    std::function<void()> inChild{};                   // in randdump's process, before exec
    std::function<void(int pid)> whileRunning{};
    std::vector<std::string> args{};
    std::string module = P11SHIM_PATH;
    std::vector<std::string> wrapper{};   // the program that runs randdump
    bool fresh = false;                   // no old sample in the directory
    std::string sample = "random_0.txt";  // where the sample is found; "-": standard output
    std::uint64_t size = kSampleSize;     // what it should hold (0: not checked)
    std::size_t block = 1024;             // in blocks of this many bytes, generated in one call
    unsigned sessions = 1;
};

struct DumpRun {
    testsupport::ChildResult result;
    std::string calls{};   // the shim's log: the calls made, sessions left open, a digest
    std::string sample{};  // the sample afterwards
    struct stat info {};
    // What the directory holds afterwards, at any depth: the files, and what is not a file or a
    // directory marked by its kind ("link@", "null%", "disk#", "fifo|"); the record apart.
    std::set<std::string> files{};
    std::string record{};        // record.json
    std::string failedRecord{};  // record.json.failed
};

struct Case {
    std::string name;
    Options options;
    int status;
    std::string err;
    std::string out{};    // after the banner
    std::string calls{};  // how the shim's log of calls ends; "(none)": no log
    bool asRoot = false;  // mounts, other users
    std::string banner = kBanner;
    std::uint64_t atMost = 0;                      // the bytes generated at most (0: not checked)
    std::optional<std::set<std::string>> files{};  // what the directory holds, if not the sample
    std::string prefix{};                          // what the sample's file held before the sample
    std::string record{};             // what record.json holds, among the rest, as JSON
    std::size_t received = SIZE_MAX;  // the most a failed stream may have received
};

class Randdump : public ::testing::Test {
protected:
    // A token at slot 0, and tokens at the slot IDs SoftHSM2 gives them, two of one label, one
    // whose label would drive a terminal.
    static void SetUpTestSuite()
    {
        store_ = std::make_unique<TempDir>();
        conf_ = testsupport::MakeTokens(*store_, {"randdump", "lab", "twin", "twin", kControls});
        std::ofstream(*store_ / "pin") << "1234\n";
        std::system(("chown -R nobody: " + store_->path.string()).c_str());  // for runs as nobody
        setenv("SOFTHSM2_CONF", conf_.c_str(), 1);
        CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
        ASSERT_TRUE(p11 != nullptr && p11->C_Initialize(nullptr) == CKR_OK);
        std::array<CK_SLOT_ID, 8> slots{};
        CK_ULONG count = slots.size();
        ASSERT_EQ(p11->C_GetSlotList(CK_TRUE, slots.data(), &count), CKR_OK);
        present_ = count;
        for (const CK_SLOT_ID slot : std::span(slots).first(count)) {
            CK_TOKEN_INFO info{};
            ASSERT_EQ(p11->C_GetTokenInfo(slot, &info), CKR_OK);
            const auto field = [](auto &bytes) {
                const std::string text(reinterpret_cast<const char *>(bytes), sizeof bytes);
                return text.substr(0, text.find_last_not_of(' ') + 1);
            };
            if ((info.flags & CKF_TOKEN_INITIALIZED) != 0)
                tokens_.push_back({slot, field(info.label), field(info.serialNumber)});
        }
        p11->C_Finalize(nullptr);
    }
    static void TearDownTestSuite() { store_.reset(); }

    // Runs randdump in a fresh directory that holds an old sample, as set up by `options`.
    DumpRun Dump(const Options &options)
    {
        const TempDir dir;
        chmod(logs_.path.c_str(), 0777);
        if (options.setUp)
            options.setUp(dir.path);
        if (!options.fresh && options.sample != "-") {
            if (!fs::exists(dir / options.sample))
                std::ofstream(dir / options.sample) << kOld;
            std::ofstream(dir / kRecord) << kOldRecord;
        }
        std::vector<std::string> argv = options.wrapper;
        argv.push_back(RANDDUMP_PATH);
        argv.insert(argv.end(), options.args.begin(), options.args.end());
        const fs::path log = logs_ / "calls";
        fs::remove(log);
        DumpRun run{testsupport::RunChild(argv, dir.path,
                                          {{"PKCS11_MODULE_PATH", options.module},
                                           {"SOFTHSM2_CONF", conf_},
                                           {"P11SHIM", options.script + ";log=" + log.string()}},
                                          options.inChild, options.whileRunning),
                    ReadFile(log), ReadFile(dir / options.sample)};
        if (options.sample == "-")
            std::swap(run.sample, run.result.out);
        lstat((dir / options.sample).c_str(), &run.info);
        for (const auto &entry : fs::recursive_directory_iterator(dir.path)) {
            const fs::file_type type = entry.symlink_status().type();
            const std::map<fs::file_type, std::string> kinds{{fs::file_type::regular, ""},
                                                             {fs::file_type::symlink, "@"},
                                                             {fs::file_type::character, "%"},
                                                             {fs::file_type::block, "#"},
                                                             {fs::file_type::fifo, "|"}};
            // Links a row plants in the old form of temporary names, which randdump never makes.
            static const std::regex kPlanted(R"(\.tmp\.[0-9]+\.[0-9]+$)");
            if (kinds.count(type) != 0 && !std::regex_search(entry.path().string(), kPlanted))
                run.files.insert(entry.path().lexically_relative(dir.path).string() +
                                 kinds.at(type));
        }
        run.record = ReadFile(dir / kRecord);
        run.failedRecord = ReadFile(dir / (kRecord + ".failed"));
        run.files.erase(kRecord);
        run.files.erase(kRecord + ".failed");
        umount2(dir.path.c_str(), MNT_DETACH);
        return run;
    }

    struct Token {
        CK_SLOT_ID slot;
        std::string label;
        std::string serial;
    };
    // The first token with the label, and the other, in the provider's order.
    static const Token &Find(const std::string &label, bool other = false)
    {
        const auto first = std::find_if(tokens_.begin(), tokens_.end(),
                                        [&](const Token &t) { return t.label == label; });
        return other ? *std::find_if(first + 1, tokens_.end(),
                                     [&](const Token &t) { return t.label == label; })
                     : *first;
    }
    static std::string SampleOf(const Token &token)
    {
        return "random_" + std::to_string(token.slot) + ".txt";
    }
    static std::string Hex(CK_SLOT_ID slot)
    {
        std::ostringstream hex;
        hex << "0x" << std::hex << slot;
        return hex.str();
    }
    // As randdump names slots: "ID (0xHEX)".
    static std::string Named(CK_SLOT_ID slot)
    {
        return std::to_string(slot) + " (" + Hex(slot) + ")";
    }

    void ExpectOutcomes(const std::vector<Case> &cases);

    static inline std::unique_ptr<TempDir> store_;
    static inline std::string conf_;
    static inline std::vector<Token> tokens_;  // the initialised ones, in the provider's order
    static inline CK_ULONG present_ = 0;       // tokens present, initialised or not
    TempDir logs_;
};

// Whether `json` holds every member of `part`, at any depth, with the same value.
bool Holds(const nlohmann::json &json, const nlohmann::json &part)
{
    if (!part.is_object())
        return json == part;
    return json.is_object() &&
           std::all_of(part.items().begin(), part.items().end(), [&](auto item) {
               return json.contains(item.key()) && Holds(json[item.key()], item.value());
           });
}

// Runs each case and checks all it promises: status, messages, the calls the module saw (and
// that no session stays open), the session and initialisation flags, and the sample: each block
// the token generated lands once, at its place, in the token's order for one session; or the old
// sample stays.
void Randdump::ExpectOutcomes(const std::vector<Case> &cases)
{
    for (const Case &c : cases) {
        if (c.asRoot && geteuid() != 0)
            continue;
        SCOPED_TRACE(c.name);
        const DumpRun run = Dump(c.options);
        EXPECT_EQ(run.result.exitStatus, c.status);
        EXPECT_EQ(run.result.out, c.banner + c.out);
        EXPECT_EQ(run.result.err, c.err);
        // The calls end with the sessions all closed, opened read/write unless the row says else.
        const bool flagged = c.calls.find("session flags") != std::string::npos;
        EXPECT_TRUE(c.calls == "(none)"
                        ? run.calls.empty()
                        : run.calls.find(c.calls + (flagged ? "" : "open sessions 0\n")) !=
                              std::string::npos)
            << run.calls;
        const std::size_t flags = run.calls.find("session flags");
        EXPECT_TRUE(flags == std::string::npos || flagged ||
                    run.calls.find("session flags\n") == flags ||
                    run.calls.find("session flags 6\n") == flags)
            << run.calls;
        const bool initialized = run.calls.starts_with("C_Initialize");
        EXPECT_TRUE(
            !initialized || run.calls.find("initialize (none)\n") != std::string::npos ||
            run.calls.find(c.options.sessions > 1 ? "initialize flags 2\n" : "initialize null\n") !=
                std::string::npos)
            << run.calls;
        const std::size_t generated = run.calls.find("generated ");
        EXPECT_TRUE(c.atMost == 0 || (generated != std::string::npos &&
                                      std::stoull(run.calls.substr(generated + 10)) <= c.atMost))
            << run.calls;
        if (c.status == 0 && c.options.size != 0) {
            // Each block generated lands once, at its place: in the token's order for one session.
            EXPECT_TRUE(run.sample.starts_with(c.prefix));
            const std::string_view sample = std::string_view(run.sample).substr(c.prefix.size());
            EXPECT_EQ(sample.size(), c.options.size);
            std::uint64_t blocks = 0;
            for (std::size_t at = 0; at < sample.size(); at += c.options.block)
                blocks += p11shim::Control::Digest(sample.substr(at, c.options.block));
            const std::uint64_t digest = p11shim::Control::Digest(sample);
            EXPECT_TRUE(
                c.calls == "(none)" ||
                run.calls.ends_with("blocks " + std::to_string(blocks) + "\ndigest " +
                                    std::to_string(digest) + "\n") ||
                (c.options.sessions > 1 &&
                 run.calls.find("blocks " + std::to_string(blocks) + "\n") != std::string::npos))
                << run.calls;
        } else if (c.status != 0 && !c.options.fresh) {
            // A failed run keeps the old sample, and the record that describes it.
            EXPECT_TRUE(run.sample == kOld || c.name == "a directory");
            EXPECT_EQ(run.record, kOldRecord);
        }
        EXPECT_LE(run.sample.size(), c.received);
        if (!c.record.empty()) {
            // A run that put no sample file in place leaves the record of the sample kept, and
            // puts its own beside it.
            const bool beside = c.status != 0 && c.options.sample != "-";
            const std::string &text = beside ? run.failedRecord : run.record;
            EXPECT_TRUE(
                Holds(nlohmann::json::parse(text, nullptr, false), nlohmann::json::parse(c.record)))
                << text;
        }
        // Standard output, or a sample kept outside the directory: nothing in it.
        const bool outside = c.options.sample == "-" || c.options.sample.starts_with('/');
        EXPECT_EQ(run.files, c.files   ? *c.files
                             : outside ? std::set<std::string>{}
                                       : std::set<std::string>{c.options.sample});
    }
}

TEST_F(Randdump, EndsEachRunWithItsStatusAndMessageAndKeepsTheOldSampleUnlessItSucceeds)
{
    const std::string load = "Cannot load PKCS#11 module " P11SHIM_PATH ": ";
    const std::string write = "Cannot write random_0.txt: ";
    const std::string end = "C_CloseSession\nC_Finalize\n";
    const std::string early = "C_OpenSession\n" + end;
    const std::string incompatible = "Incompatible PKCS#11 version (0x5)\n";
    const std::string draw = "C_OpenSession\nC_GenerateRandom x51200\n" + end;
    const Token &lab = Find("lab");
    const Token &twin = Find("twin");
    const Token &otherTwin = Find("twin", true);
    const std::string labUri = "pkcs11:token=lab";
    const std::string pinFile = (*store_ / "pin").string();
    const auto sticky = [](const fs::path &dir) {  // another's sample, writable to all
        chmod(dir.c_str(), 01777);
        std::ofstream(dir / "random_0.txt") << kOld;
        chmod((dir / "random_0.txt").c_str(), 0666);
    };
    // clang-format off
    const std::vector<Case> cases{
        {"success", {}, 0, "", "", "C_Initialize\nC_GetInfo\nC_OpenSession\nC_GenerateRandom x51200\n" + end},
        {"version 3.0", {.script = "version=3.0"}, 255, "", incompatible, "C_GetInfo\n"},
        {"version 1.9", {.script = "version=1.9"}, 255, "", incompatible, "C_GetInfo\n"},
        {"no C_Initialize", {.script = "fail=Initialize@1:0x5"}, 255, "C_Initialize error 5, general error\n",
         "Incompatible PKCS#11 version (0x190)\n"},
        {"initialised before", {.script = "after=Initialize@1:0x191"}, 0,
         "C_Initialize error 191, cryptoki already initialized\n", "", end},
        {"no session", {.script = "fail=OpenSession@1:0xE1"}, 1, "", "", "C_GetInfo\nC_OpenSession\n"},
        {"no C_Finalize", {.script = "after=Finalize@1:0x80000999"}, 0,
         "C_Finalize error 80000999, vendor defined error (80000999)\n", "", end},
        {"first block", {.script = "fail=GenerateRandom@1:0x30"}, 4, "C_GenerateRandom error 30, device error\n",
         "", "C_OpenSession\nC_GenerateRandom\n" + end},
        {"last block", {.script = "fail=GenerateRandom@51200:0x30"}, 4, "C_GenerateRandom error 30, device error\n",
         "", "C_GenerateRandom x51200\n" + end},
        {"no module", {.module = "/nonexistent/libcryptoki.so"}, 2, "Cannot load PKCS#11 module /nonexistent/"
         "libcryptoki.so: /nonexistent/libcryptoki.so: cannot open shared object file: No such file or directory\n",
         "", "(none)"},
        {"an empty PKCS11_MODULE_PATH: the default", {.wrapper = {"/usr/bin/env", "PKCS11_MODULE_PATH="}}, 0,
         "", "", "(none)"},
        {"no function list", {.script = "list=0x30"}, 2, load + "C_GetFunctionList error 30, device error\n"},
        {"null function list", {.script = "list=null"}, 2, load + "C_GetFunctionList gave no function list\n"},
        {"no C_GenerateRandom", {.script = "drop=GenerateRandom"}, 2, load + "its function list has no C_GenerateRandom\n"},
        {"no C_Finalize", {.script = "drop=Finalize"}, 2, load + "its function list has no C_Finalize\n"},
        {"a directory", {.setUp = [](auto &dir) { fs::create_directory(dir / "random_0.txt"); }}, 3,
         write + "Is a directory\n", "", early, false, kBanner, 0, std::set<std::string>{}},
        {"a file size limit", {.wrapper = kSizeLimit}, 3, write + "File too large\n", "", early},
        {"no unnamed files", {.inChild = DenyUnnamedFiles}, 0, "", "", end},
        {"the old, predictable temporary names taken", {.script = "run=GenerateRandom@1:seq 0 99 | "
         "xargs -I@ ln -s /nonexistent random_0.txt.tmp.$PPID.@"}, 0, "", "", end},
        {"stdout and stderr closed, the module printing", {.script = "say=GenerateRandom@2000:module warning",
         .setUp = [](auto &dir) { mount("none", dir.c_str(), "ramfs", 0, ""); },
         .wrapper = {"/bin/sh", "-c", "exec \"$0\" >&- 2>&-"}}, 0, "", "", end, true, ""},
        {"ramfs, which reports no size", {.setUp = [](auto &dir) { mount("none", dir.c_str(), "ramfs", 0, ""); }},
         0, "", "", end, true},
        {"a full disk", {.setUp = [](auto &dir) { mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=4m"); }}, 3,
         write + "No space left on device\n", "", early, true},
        {"a file size limit, nothing reserved", {.setUp = Ext2, .wrapper = kSizeLimit}, 3,
         write + "File too large\n", "", early, true},
        {"a file the user may not write", {.setUp = [](auto &dir) { chmod(dir.c_str(), 0777); },
         .wrapper = kAsNobody}, 3, write + "Permission denied\n", "", early, true},
        {"a directory the user may not write", {.setUp = [](auto &dir) { chmod(dir.c_str(), 0755); },
         .wrapper = kAsNobody}, 3, write + "Permission denied\n", "", early, true},
        {"another's file in a sticky directory", {.setUp = sticky, .wrapper = kAsNobody}, 3,
         write + "Permission denied\n", "", early, true},
        {"a disk that fills up mid-run", {.script = "run=GenerateRandom@20000:cat /dev/zero >lost+found/filler 2>/dev/null",
         .setUp = Ext2}, 3, write + "No space left on device\n", "", end, true, kBanner, 0,
         std::set<std::string>{"random_0.txt", "lost+found/filler"}},
        {"-o a link that leads nowhere: refused, and kept", {.setUp = [](auto &dir) {
             fs::create_symlink("missing/sample.bin", dir / "link.bin"); }, .args = {"-o", "link.bin"}, .fresh = true,
         .sample = "link.bin"}, 3, "Cannot write link.bin: No such file or directory\n", "", early, false, kBanner, 0,
         std::set<std::string>{"link.bin@"}},
        {"-o a link into a directory the user cannot search", {.setUp = [](auto &dir) {
             chmod(dir.c_str(), 0777);
             fs::create_directory(dir / "locked");
             std::ofstream(dir / "locked" / "sample.bin") << kOld;
             chmod((dir / "locked").c_str(), 0700);
             fs::create_symlink("locked/sample.bin", dir / "link.bin"); }, .args = {"-o", "link.bin"},
         .wrapper = kAsNobody, .fresh = true, .sample = "link.bin"}, 3, "Cannot write link.bin: Permission denied\n",
         "", early, true, kBanner, 0, std::set<std::string>{"link.bin@", "locked/sample.bin"}},
        {"--list to a full device", {.setUp = [](auto &dir) { mknod((dir / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)); },
         .args = {"--list"}, .wrapper = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >full"}, .fresh = true}, 3,
         "Cannot write standard output: No space left on device\n", "", "C_Finalize\n", true, "", 0,
         std::set<std::string>{"full%"}},
        {"--help to a full device", {.setUp = [](auto &dir) { mknod((dir / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)); },
         .args = {"--help"}, .wrapper = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >full"}, .fresh = true}, 3,
         "Cannot write standard output: No space left on device\n", "", "(none)", true, "", 0,
         std::set<std::string>{"full%"}},
        {"no thread to be had", {.args = {"-o", "-", "--bytes", "1M"}, .wrapper = {"/usr/bin/env",
         "ASAN_OPTIONS=detect_leaks=0", "/usr/bin/setpriv", "--reuid=65534",
         "--regid=65534", "--clear-groups", "/usr/bin/prlimit", "--nproc=1"}, .fresh = true, .sample = "-", .size = 0}, 3,
         kBanner + "randdump: the threads that draw and write the sample cannot start: Resource temporarily unavailable\n",
         "", "C_OpenSession\n" + end, true, ""},
        {"-o a block device: refused", {.setUp = [](auto &dir) {
             mknod((dir / "disk").c_str(), S_IFBLK | 0600, makedev(240, 0)); }, .args = {"-o", "disk"}, .fresh = true,
         .sample = "disk"}, 3, "Cannot write disk: it is a block device, which randdump never writes to\n", "", early, true,
         kBanner, 0, std::set<std::string>{"disk#"}},
        {"-q: nothing said of a run that succeeds", {.args = {"-q", "--check", "--bytes", "1M"}, .size = 1 << 20},
         0, "", "", "C_GenerateRandom x1024\n" + end, false, ""},
        {"-q: a failure's one line", {.script = "fail=GenerateRandom@1:0x30", .args = {"--quiet", "--bytes", "1k",
         "--record", "record.json"}}, 4, "C_GenerateRandom error 30, device error\n", "",
         "C_OpenSession\nC_GenerateRandom\n" + end, false, ""},
        {"--slot: a token at the slot ID SoftHSM2 gives it", {.args = {"--slot", std::to_string(lab.slot)},
         .sample = SampleOf(lab)}, 0, "", "", draw},
        {"--slot in hex", {.args = {"--slot", Hex(lab.slot)},
         .sample = SampleOf(lab)}, 0, "", "", draw},
        {"--token: a label", {.args = {"--token", labUri}, .sample = SampleOf(lab)}, 0, "", "", draw},
        {"--token: one of two tokens of a label, by serial", {.args = {"--token", "pkcs11:token=twin;serial=" +
         otherTwin.serial}, .sample = SampleOf(otherTwin)}, 0, "", "", draw},
        {"--token matching two", {.args = {"--token", "pkcs11:token=twin"}}, 1, "2 initialised tokens match pkcs11:token=twin; "
         "add serial= or slot-id= to choose one:\n  slot " + Named(twin.slot) + ": twin\n  slot " +
         Named(otherTwin.slot) + ": twin\n", "", "C_Finalize\n"},
        {"--token matching none, an uninitialised token with an empty label among the present",
         {.args = {"--token", "pkcs11:token="}}, 1, "No initialised token matches pkcs11:token= (" +
         std::to_string(tokens_.size()) + " initialised tokens present); randdump --list shows them\n", "", "C_Finalize\n"},
        {"--slot with no token", {.args = {"--slot", "99999"}}, 1, "C_OpenSession error 3, slot ID invalid\n", "",
         "C_OpenSession\nC_Finalize\n"},
        {"a token that generates only after a login", {.script = "needlogin;run=GenerateRandom@1:grep -qa 1234 "
         "/proc/$PPID/cmdline && touch pin-shown", .args = {"--token", labUri +
         "?pin-value=1234"}, .sample = SampleOf(lab)}, 0, "", "", "C_OpenSession\nC_Login\nC_GenerateRandom x51200\n" + end},
        {"the PIN from a pin-source", {.script = "needlogin", .args = {"--token", labUri + "?pin-source=file:" + pinFile},
         .sample = SampleOf(lab)}, 0, "", "", "C_Login\nC_GenerateRandom x51200\n" + end},
        {"a wrong PIN", {.args = {"--token", labUri + "?pin-value=9999"}, .sample = SampleOf(lab)}, 1,
         "C_Login error a0, PIN incorrect\n", "", "C_Login\nC_CloseSession\nC_Finalize\n"},
        {"no PIN where the token wants a login", {.script = "needlogin", .args = {"--token", labUri},
         .sample = SampleOf(lab)}, 4, "C_GenerateRandom error 101, user not logged in\n", "", "C_GenerateRandom\n" + end},
        {"--token naming another module", {.args = {"--token", labUri + "?module-name=softhsm2"}}, 64,
         "randdump: --token names another module than " P11SHIM_PATH "; see 'randdump --help'\n", "", "C_Finalize\n"},
        {"--module beats PKCS11_MODULE_PATH", {.args = {"--module", P11SHIM_PATH, "--bytes", "1k"},
         .module = "/nonexistent/module.so", .size = 1024}, 0, "", "", "C_GenerateRandom\n" + end},
        {"the PIN file's first line, ended by CR LF, in a file over 1 KiB", {.script = "needlogin", .setUp = [](auto &dir) {
             std::ofstream(dir / "pin") << "1234\r\n" << std::string(4000, 'x'); },
         .args = {"--token", labUri + "?pin-source=pin", "--bytes", "1k"}, .sample = SampleOf(lab), .size = 1024}, 0, "",
         "", "C_Login\nC_GenerateRandom\n" + end, false, kBanner, 0, std::set<std::string>{SampleOf(lab), "pin"}},
        {"no token at slot ID 0, in a run with options", {.script = "fail=OpenSession@1:0x3", .args = {"--bytes", "1k"}},
         1, "randdump: no usable token at slot ID 0 (C_OpenSession error 3, slot ID invalid); randdump --list shows the "
         "tokens, --token or --slot chooses one\n", "", "C_OpenSession\nC_Finalize\n"},
        {"fewer sessions than asked for", {.script = "fail=OpenSession@3:0xB1", .args = {"--sessions", "4"}, .sessions = 4},
         1, "C_OpenSession error b1, session count\nranddump: the token opened 2 of the 4 sessions asked for; a smaller "
         "--sessions may do\n", "", "C_OpenSession x3\nC_CloseSession x2\nC_Finalize\n"},
        {"no C_Initialize, in a run with options", {.script = "fail=Initialize@1:0x5", .args = {"--bytes", "1k"}}, 1,
         "C_Initialize error 5, general error\n", "", "C_Initialize\n"},
        {"a write-protected token: read-only sessions", {.script = "fail=OpenSession@1:0xE2",
         .args = {"--bytes", "1k"}, .size = 1024}, 0, "", "", "C_OpenSession x2\nC_GenerateRandom\n" + end +
         "open sessions 0\nsession flags 4\n"},
        {"a write-protected token, in the plain run", {.script = "fail=OpenSession@1:0xE2"}, 1, "", "",
         "C_OpenSession\nopen sessions 0\nsession flags\n"},
        {"--token past a slot that cannot be read", {.script = "badslot=" + std::to_string(twin.slot), .args = {"--token",
         "pkcs11:token=lab", "--bytes", "1k"}, .sample = SampleOf(lab), .size = 1024}, 0, "", "", "C_GenerateRandom\n" + end},
        {"a PIN, and no C_Login", {.script = "drop=Login", .args = {"--token", labUri + "?pin-value=1234"}}, 2,
         load + "its function list has no C_Login\n"},
#ifndef CKHELPER_SANITIZE  // the sanitizers' runtime itself needs /proc
        {"no /proc", {.wrapper = kNoProc}, 0, "", "", end, true},
#endif
    };
    // clang-format on
    ExpectOutcomes(cases);
}

TEST_F(Randdump, DrawsEachSizeInEachBlockSizeThroughEachSessionCountToEachSink)
{
    const std::string end = "C_CloseSession\nC_Finalize\n";
    const auto fifo = [](auto &dir) { mkfifo((dir / "sample.fifo").c_str(), 0600); };
    const std::vector<std::string> closing{
        "/bin/bash", "-c", "\"$0\" \"$@\" | head -c 3000000 >/dev/null; exit ${PIPESTATUS[0]}"};
    // clang-format off
    ExpectOutcomes({
        {"--bytes with a suffix, in blocks that divide it", {.args = {"--bytes", "3MiB", "--block", "64K"},
         .size = 3 << 20, .block = 64 << 10}, 0, "", "", "C_GenerateRandom x48\n" + end},
        {"--bytes and --block leaving a remainder: the last call asks for the rest", {.args = {"--bytes", "10000",
         "--block", "3000"}, .size = 10000, .block = 3000}, 0, "", "", "C_GenerateRandom x4\n" + end},
        {"--output a file, --bytes in powers of 1,000", {.args = {"--output", "sample.bin", "--bytes", "2kB"}, .sample = "sample.bin",
         .size = 2000}, 0, "", "", "C_GenerateRandom x2\n" + end},
        {"-o -: the sample on standard output, every message on standard error", {.args = {"-o", "-", "--bytes",
         "1000000"}, .fresh = true, .sample = "-", .size = 1000000}, 0, kBanner, "", "C_GenerateRandom x977\n" + end,
         false, ""},
        {"-o a FIFO", {.setUp = fifo, .args = {"-o", "sample.fifo", "--bytes", "3000000", "--block", "4000"},
         .wrapper = {"/bin/sh", "-c", "cat sample.fifo >copy & \"$0\" \"$@\"; s=$?; wait; exit $s"}, .fresh = true,
         .sample = "copy", .size = 3000000, .block = 4000}, 0, "", "", "C_GenerateRandom x750\n" + end, false, kBanner, 0,
         std::set<std::string>{"copy", "sample.fifo|"}},
        {"-o a character device, past 4 GiB: written through, and still the device", {.script = "nodigest",
         .setUp = [](auto &dir) { mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)); },
         .args = {"-o", "null", "--bytes", "4100M", "--block", "1M"}, .fresh = true, .sample = "null", .size = 0}, 0, "",
         "", "C_GenerateRandom x4100\n" + end, true, kBanner, 0, std::set<std::string>{"null%"}},
        {"-o /proc/self/fd/1: standard output, the banner apart", {.args = {"-o", "/proc/self/fd/1", "--bytes", "1000"},
         .fresh = true, .sample = "-", .size = 1000}, 0, kBanner, "", "C_GenerateRandom\n" + end, false, ""},
        {"-o /proc/self/fd/1, appending where standard output appends", {.args = {"-o", "/proc/self/fd/1", "--bytes",
         "1000"}, .wrapper = {"/bin/sh", "-c", "printf old >out.bin && exec \"$0\" \"$@\" >>out.bin"}, .fresh = true,
         .sample = "out.bin", .size = 1000}, 0, kBanner, "", "C_GenerateRandom\n" + end, false, "", 0, {}, "old"},
        {"its directory moved away mid-run: the sample lands where it was checked", {.script =
         "run=GenerateRandom@100:mv sub sub2 && mkdir sub", .setUp = [](auto &dir) { fs::create_directory(dir / "sub"); },
         .args = {"-o", "sub/sample.bin", "--bytes", "3M"}, .fresh = true, .sample = "sub2/sample.bin", .size = 3 << 20},
         0, "", "", "C_GenerateRandom x3072\n" + end},
        {"a stream without end, to a reader that closes", {.args = {"-o", "-", "--bytes", "unlimited"}, .wrapper = closing,
         .fresh = true, .sample = "-", .size = 0}, 0, kBanner, "", end, false, ""},
        {"a FIFO without end, its reader closing", {.setUp = fifo, .args = {"-o", "sample.fifo", "--bytes", "unlimited"},
         .wrapper = {"/bin/sh", "-c", "head -c 2000000 sample.fifo >/dev/null & \"$0\" \"$@\"; s=$?; wait; exit $s"},
         .fresh = true, .sample = "none", .size = 0}, 0, "", "", end, false, kBanner, 0,
         std::set<std::string>{"sample.fifo|"}},
        {"a finite stream whose reader closes early", {.args = {"-o", "-", "--bytes", "100M"}, .wrapper = closing,
         .fresh = true, .sample = "-", .size = 0}, 3, kBanner + "Cannot write standard output: Broken pipe\n", "", end,
         false, ""},
        {"a slow token's stream, written as it comes: every byte once, in order", {.script = "pause=3000", .args =
         {"-q", "-o", "-", "--bytes", "100K", "--check"}, .fresh = true, .sample = "-", .size = 102400}, 0, "", "",
         "C_GenerateRandom x100\n" + end, false, ""},
        {"a slow token's stream through 4 sessions", {.script = "pause=10000", .args = {"-q", "-o", "-", "--bytes",
         "100K", "--sessions", "4"}, .fresh = true, .sample = "-", .size = 102400, .sessions = 4}, 0, "", "",
         "C_CloseSession x4\nC_Finalize\n", false, ""},
        {"--sessions 4: each block once, at its place", {.args = {"--sessions", "4", "--bytes", "1000000", "--block",
         "1000"}, .size = 1000000, .block = 1000, .sessions = 4}, 0, "", "", "C_CloseSession x4\nC_Finalize\n"},
        {"--sessions 4, one failing: all stop at their next block and close", {.script =
         "fail=GenerateRandom@300:0x30", .args = {"--sessions", "4"}, .sessions = 4}, 4, "C_GenerateRandom error 30, "
         "device error\n", "", "C_CloseSession x4\nC_Finalize\n", false, kBanner, 400 * 1024},
        {"a token that refuses the block size", {.script = "fail=GenerateRandom@0:0x21", .args = {"--block", "64K"}}, 4,
         "C_GenerateRandom error 21, data length range\nranddump: the token refuses to generate 65536 bytes in one "
         "call; a smaller --block may do\n", "", "C_GenerateRandom\n" + end},
    });
    // clang-format on
}

// A new sample, and one that replaces a link, get a plain create's mode and owner; a replaced
// file's mode and owner carry over. A link's target is never touched.
TEST_F(Randdump, GivesANewSampleThePlainCreatesModeAndAReplacedOneItsOwnerAndMode)
{
    const TempDir elsewhere;
    const fs::path secret = elsewhere / "secret";
    const auto own = [](const fs::path &file, uid_t owner, mode_t mode) {
        std::ofstream(file) << kOld;
        ASSERT_EQ(chown(file.c_str(), owner, owner) | chmod(file.c_str(), mode), 0);
    };
    struct ModeCase {
        std::string name;
        Options options;
        mode_t mode;
        uid_t owner;
        bool asRoot = false;
        std::string kept{};  // what the directory still holds, as it was
    };
    // clang-format off
    const std::vector<ModeCase> cases{
        {"a new file", {.fresh = true}, 0640, geteuid()},
        {"another's file", {.setUp = [&](auto &dir) { own(dir / "random_0.txt", kNobody, 0604); }}, 0604, kNobody, true},
        {"a link to a device", {.setUp = [](auto &dir) {
             mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3));
             fs::create_symlink("null", dir / "random_0.txt"); }, .fresh = true}, 0640, geteuid(), true, "null%"},
        {"a link to another's private file", {.setUp = [&](auto &dir) {
             own(secret, kNobody, 0600);
             fs::create_symlink(secret, dir / "random_0.txt"); }, .fresh = true}, 0640, geteuid(), true},
        {"-o through a link: the file it names is replaced, as itself", {.setUp = [&](auto &dir) {
             own(dir / "named.bin", geteuid(), 0604);
             fs::create_symlink("named.bin", dir / "link.bin"); }, .args = {"-o", "link.bin"}, .fresh = true,
         .sample = "named.bin"}, 0604, geteuid()},
    };
    // clang-format on
    for (const ModeCase &c : cases) {
        if (c.asRoot && geteuid() != 0)
            continue;
        SCOPED_TRACE(c.name);
        const mode_t saved = umask(027);
        const DumpRun run = Dump(c.options);
        umask(saved);
        EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
        EXPECT_EQ(run.sample.size(), kSampleSize);
        EXPECT_TRUE(S_ISREG(run.info.st_mode));
        EXPECT_EQ(run.info.st_mode & 07777, c.mode);
        EXPECT_EQ(run.info.st_uid, c.owner);
        EXPECT_TRUE(c.kept.empty() || run.files.count(c.kept) == 1) << c.kept;
    }
    struct stat kept {};
    if (geteuid() == 0) {
        EXPECT_TRUE(stat(secret.c_str(), &kept) == 0 && kept.st_uid == kNobody &&
                    (kept.st_mode & 0777) == 0600 && ReadFile(secret) == kOld);
    }
}

// A token that answers CKR_OK with bytes that are not random ends a checked run at the first
// byte that shows it (status 5), keeps the old sample, and the record says so; restarts start
// the module and the sessions afresh for each row.
TEST_F(Randdump, ChecksWhatTheTokenGivesRecordsTheRunAndStartsAfreshForEachRow)
{
    const std::string failed = "Token output failed a health check: ";
    const std::string end = "C_CloseSession\nC_Finalize\n";
    const std::string row = "C_OpenSession\nC_GenerateRandom\nC_CloseSession\nC_Finalize\n";
    const std::vector<std::string> checked{"--check", "--bytes", "1M", "--record", kRecord};
    const auto withBlock = [&](const char *block) {
        std::vector<std::string> args = checked;
        args.insert(args.end(), {"--block", block});
        return args;
    };
    const auto verdict = [](const char *check, std::uint64_t offset) {
        const std::string at = std::to_string(offset);
        return R"({"status": 5, "message": "Token output failed a health check: )" +
               std::string(check) + " at byte " + at + R"(", "sample": {"bytes": 0, "sha256": null},
                  "checks": {"passed": false, "failure": {"check": ")" +
               check + R"(", "offset": )" + at + "}}}";
    };
    // Three rows from a generator the shim seeds alike at each start, as `script` varies it: a
    // restart repeat at the second row.
    const auto seededAlike = [&](const char *name, const char *script) {
        return Case{
            name,
            {.script = script,
             .args = {"--check", "--restarts", "3", "--bytes", "1000", "--record", kRecord}},
            5,
            failed + "restart repeat at byte 1000\n" + kBeside,
            "",
            "C_Finalize\nC_Initialize\n" + row,
            false,
            kBanner,
            0,
            {},
            "",
            verdict("restart repeat", 1000)};
    };
    const Token &lab = Find("lab");
    // clang-format off
    ExpectOutcomes({
        {"the first block left as it was", {.script = "bad=untouched@1", .args = checked}, 5,
         failed + "unfilled at byte 0\n" + kBeside, "", "C_GenerateRandom x1024\n" + end, false, kBanner, 0, {},
         "", verdict("unfilled", 0)},
        {"only the first 100 bytes of a block generated", {.script = "bad=first:100@3", .args = checked}, 5,
         failed + "unfilled at byte 2148\n" + kBeside, "", "C_GenerateRandom x1024\n" + end, false, kBanner, 0, {},
         "", verdict("unfilled", 2148)},
        {"every block of 8 bytes left as it was", {.script = "bad=untouched@0", .args = withBlock("8")}, 5,
         failed + "unfilled at byte 0\n" + kBeside, "", end, false, kBanner, 0, {}, "", verdict("unfilled", 0)},
        {"one byte short of every call", {.script = "bad=short:1@0", .args = checked}, 5,
         failed + "unfilled at byte 23551\n" + kBeside, "", end, false, kBanner, 0, {}, "",
         verdict("unfilled", 23551)},
        {"eight bytes short of every 4 KiB", {.script = "bad=short:8@0", .args = withBlock("4K")}, 5,
         failed + "unfilled at byte 94200\n" + kBeside, "", end, false, kBanner, 0, {}, "",
         verdict("unfilled", 94200)},
        {"two buffers handed out in turn", {.script = "bad=cycle:2@0", .args = checked}, 5,
         failed + "repeated at byte 2048\n" + kBeside, "", end, false, kBanner, 0, {}, "", verdict("repeated", 2048)},
        {"a ring of 64 buffers", {.script = "bad=cycle:64@0", .args = checked}, 5,
         failed + "repeated at byte 65536\n" + kBeside, "", end, false, kBanner, 0, {}, "",
         verdict("repeated", 65536)},
        {"a driver's own 1 KiB buffer handed out again, in blocks of 1,000", {.script = "bad=period:1024@0",
         .args = withBlock("1000")}, 5, failed + "repeated at byte 1024\n" + kBeside, "", end, false, kBanner, 0,
         {}, "", verdict("repeated", 1024)},
        {"a 32-bit counter", {.script = "bad=counter@0", .args = checked}, 5,
         failed + "statistics at byte 5120\n" + kBeside, "", end, false, kBanner, 0, {}, "",
         verdict("statistics", 5120)},
        {"one byte in eight with its top bit set", {.script = "bad=bias@0", .args = {"--check", "--bytes", "64M",
         "--record", kRecord}}, 5, failed + "statistics at byte 425000\n" + kBeside, "", end, false, kBanner, 0, {},
         "", verdict("statistics", 425000)},
        {"the last 100 bytes of a block zeroed", {.script = "bad=zerolast:100@3", .args = checked}, 5,
         failed + "stuck at byte 2972\n" + kBeside, "", "C_GenerateRandom x1024\n" + end, false, kBanner, 0, {}, "",
         verdict("stuck", 2972)},
        {"a block repeating the one before", {.script = "bad=repeat@3", .args = checked}, 5,
         failed + "repeated at byte 2048\n" + kBeside, "", "C_GenerateRandom x1024\n" + end, false, kBanner, 0, {},
         "", verdict("repeated", 2048)},
        {"a constant block, on a stream: nothing of its chunk sent", {.script = "bad=constant@3", .args =
         {"-o", "-", "--check", "--bytes", "1M"}, .fresh = true, .sample = "-"}, 5, kBanner + failed +
         "stuck at byte 2048\n", "", "C_GenerateRandom x1024\n" + end, false, "", 0, {}, "", "", 2048},
        seededAlike("a generator seeded alike at every start", "replay"),
        seededAlike("restarts seeded alike, each one byte further along", "replay;skip=1"),
        seededAlike("restarts seeded alike, each 37 bytes further along", "replay;skip=37"),
        seededAlike("restarts seeded alike but for their first byte", "replay;fresh=1"),
        seededAlike("restarts seeded alike but for their first 16 bytes", "replay;fresh=16"),
        {"a module whose C_Finalize ends nothing: no restart data", {.script = "nofinalize", .args = {"--restarts",
         "3", "--bytes", "1000"}}, 1, "C_Initialize error 191, cryptoki already initialized\nranddump: the module did "
         "not start afresh after C_Finalize, so its rows would not be restart data\n", "",
         "C_GenerateRandom\nC_CloseSession\nC_Finalize\nC_Initialize\nC_Finalize\n"},
        {"three rows, each after a start of its own", {.args = {"--restarts", "3", "--bytes", "1000", "--record",
         kRecord}, .size = 3000, .block = 1000}, 0, "", "", row + "C_Initialize\n" + row + "C_Initialize\n" + row,
         false, kBanner, 0, {}, "", R"({"status": 0, "message": null, "sample": {"bytes": 3000, "restarts": 3}})"},
        {"a PIN, the user logged in again at each start", {.script = "needlogin", .args = {"--token",
         "pkcs11:token=lab?pin-value=1234", "--restarts", "2", "--bytes", "1000", "--record", kRecord},
         .sample = SampleOf(lab), .size = 2000, .block = 1000}, 0, "", "", "C_Login\nC_GenerateRandom\n" + end +
         "C_Initialize\nC_OpenSession\nC_Login\nC_GenerateRandom\n" + end, false, kBanner, 0, {}, "",
         R"({"command_line": [")" RANDDUMP_PATH R"(", "--token", "pkcs11:token=lab?pin-value=****",
             "--restarts", "2", "--bytes", "1000", "--record", "record.json"], "token": {"label": "lab"},
             "login": true})"},
        {"no session, in a run recorded", {.script = "fail=OpenSession@1:0x3", .args = {"--bytes", "1k", "--record",
         kRecord}}, 1, "randdump: no usable token at slot ID 0 (C_OpenSession error 3, slot ID invalid); randdump "
         "--list shows the tokens, --token or --slot chooses one\n" + kBeside, "", "C_OpenSession\nC_Finalize\n", false,
         kBanner, 0, {}, "", R"({"status": 1, "slot": {"id": 0}, "sample": {"bytes": 0, "sha256": null},
         "started": null, "message": "randdump: no usable token at slot ID 0 (C_OpenSession error 3, slot ID )"
         R"(invalid); randdump --list shows the tokens, --token or --slot chooses one"})"},
        {"a record naming the sample of a token its URI chose: refused once the slot is known", {.args = {"--token",
         "pkcs11:token=lab", "--record", SampleOf(lab)}, .sample = SampleOf(lab)}, 64, "randdump: --record '" +
         SampleOf(lab) + "' is the sample's own file '" + SampleOf(lab) + "'; give the record a file of its own; see "
         "'randdump --help'\n", "", "C_Finalize\n"},
        {"a record that cannot be written after the draw: the old sample and the old record kept", {.script =
         "run=GenerateRandom@500:cat /dev/zero >filler 2>/dev/null", .setUp = [](auto &dir) {
             mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=4m"); }, .args = {"--bytes", "1M", "--record", kRecord}},
         3, "Cannot write record.json: No space left on device\n", "", "C_GenerateRandom x1024\n" + end, true, kBanner,
         0, std::set<std::string>{"random_0.txt", "filler"}},
        {"SIGTERM mid-run: the old sample and record kept, this run's beside them", {.script =
         "run=GenerateRandom@100:kill -TERM $PPID", .args = {"--bytes", "1M", "--record", kRecord}}, -1,
         "randdump: interrupted by SIGTERM\n" + kBeside, "", "(none)", false, kBanner, 0, {}, "",
         R"({"status": 143, "message": "randdump: interrupted by SIGTERM", "sample": {"bytes": 0, "sha256": null}})"},
        {"an argument that holds pin-value but no PIN: drawn with as usual", {.args = {"-o", "out:pin-value",
         "--bytes", "1k", "--record", kRecord}, .fresh = true, .sample = "out:pin-value", .size = 1024}, 0, "", "",
         "C_GenerateRandom\n" + end, false, kBanner, 0, {}, "", R"({"command_line": [")" RANDDUMP_PATH R"(", "-o",
         "out:pin-value", "--bytes", "1k", "--record", "record.json"]})"},
        {"a record that cannot be written: nothing loaded or drawn", {.args = {"--record", "missing/record.json"}}, 3,
         "Cannot write missing/record.json: No such file or directory\n", "", "(none)", false, ""},
    });
    // clang-format on
}

// The record holds every key, with its type, and the SHA-256 of the bytes written, in a file or
// on a stream; a good token passes the checks over a sample of many chunks, and the run says so
// (PassesAGeneratorsOutputAtEveryBlockSize judges a GiB at each block size).
TEST_F(Randdump, RecordsEveryKeyAndTheDigestOfWhatWasWritten)
{
#if defined(CKHELPER_SANITIZE)
    const std::string size = "16M";  // the checks run instrumented
#else
    const std::string size = "64M";
#endif
    const auto sha256 = [](const std::string &bytes) {
        const TempDir scratch;
        std::ofstream(scratch / "bytes", std::ios::binary) << bytes;
        return testsupport::RunChild({"/usr/bin/sha256sum", (scratch / "bytes").string()},
                                     scratch.path, {})
            .out.substr(0, 64);
    };
    const DumpRun file = Dump({.script = "nodigest",
                               .args = {"--check", "-o", "sample.bin", "--bytes", size, "--block",
                                        "64K", "--record", kRecord},
                               .fresh = true,
                               .sample = "sample.bin"});
    const DumpRun stream = Dump(
        {.args = {"-o", "-", "--bytes", "3M", "--record", kRecord}, .fresh = true, .sample = "-"});
    // Interrupted, the record says so and describes what the reader received.
    const DumpRun stopped =
        Dump({.script = "pause=1000",
              .whileRunning =
                  [](int pid) {
                      usleep(500000);
                      kill(pid, SIGINT);
                  },
              .args = {"-o", "-", "--bytes", "1G", "--block", "64K", "--record", kRecord},
              .fresh = true,
              .sample = "-"});
    EXPECT_EQ(stopped.result.signal, SIGINT);
    const nlohmann::json interrupted = nlohmann::json::parse(stopped.record);
    EXPECT_EQ(interrupted["status"], 130);
    EXPECT_EQ(interrupted["message"], "randdump: interrupted by SIGINT");
    EXPECT_EQ(interrupted["sample"]["bytes"], stopped.sample.size());
    EXPECT_EQ(interrupted["sample"]["sha256"],
              stopped.sample.empty() ? nlohmann::json() : nlohmann::json(sha256(stopped.sample)));
    ASSERT_EQ(file.result.exitStatus, 0) << file.result.err;
    ASSERT_EQ(stream.result.exitStatus, 0) << stream.result.err;
    EXPECT_TRUE(file.result.err.starts_with("Health checks passed over ") &&
                file.result.err.find('\n') == file.result.err.size() - 1)
        << file.result.err;
    const nlohmann::json record = nlohmann::json::parse(file.record);
    EXPECT_EQ(record["sample"]["sha256"], sha256(file.sample));
    EXPECT_EQ(nlohmann::json::parse(stream.record)["sample"]["sha256"], sha256(stream.sample));
    EXPECT_EQ(record["checks"]["passed"], true) << file.record;
    EXPECT_EQ(record["sample"]["bytes"], file.sample.size());
    EXPECT_FALSE(nlohmann::json::parse(stream.record).contains("checks"));

    using Type = nlohmann::json::value_t;
    const Type text = Type::string;
    const Type count = Type::number_unsigned;
    // clang-format off
    const std::vector<std::pair<std::string, Type>> keys{
        {"/tool/name", text}, {"/tool/version", text}, {"/command_line/0", text}, {"/host/name", text},
        {"/host/system", text}, {"/host/release", text}, {"/host/machine", text}, {"/module/path", text},
        {"/module/cryptoki_version", text}, {"/module/manufacturer", text}, {"/module/description", text},
        {"/module/library_version", text}, {"/slot/id", count}, {"/slot/description", text},
        {"/slot/manufacturer", text}, {"/slot/hardware_version", text}, {"/slot/firmware_version", text},
        {"/token/label", text}, {"/token/manufacturer", text}, {"/token/model", text}, {"/token/serial", text},
        {"/token/hardware_version", text}, {"/token/firmware_version", text}, {"/token/uri", text},
        {"/login", Type::boolean},
        {"/sample/output", text}, {"/sample/bytes", count}, {"/sample/block", count}, {"/sample/sessions", count},
        {"/sample/restarts", count}, {"/sample/sha256", text}, {"/started", text}, {"/finished", text},
        {"/seconds", Type::number_float}, {"/mib_per_second", Type::number_float}, {"/status", count},
        {"/message", Type::null}, {"/checks/fips_140_2/blocks", count}, {"/checks/sp800_90b/adaptive_proportion/cutoff", count}};
    // clang-format on
    for (const auto &[key, type] : keys) {
        const nlohmann::json::json_pointer pointer(key);
        EXPECT_TRUE(record.contains(pointer) && record[pointer].type() == type) << key;
    }
    EXPECT_EQ(record["module"]["cryptoki_version"], "2.40");
    EXPECT_EQ(record["login"], false);
    const std::regex rfc3339(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
    EXPECT_TRUE(std::regex_match(record["started"].get<std::string>(), rfc3339))
        << record["started"];
}

TEST_F(Randdump, AnswersHelpAndVersionAndRefusesAMalformedCommandLineBeforeLoadingAnything)
{
    for (const char *help : {"--help", "-h"}) {
        const DumpRun run = Dump({.args = {help}, .module = "/nonexistent"});
        EXPECT_EQ(run.result.exitStatus, 0);
        EXPECT_TRUE(run.result.out.starts_with("Usage: randdump [")) << run.result.out;
        for (const char *topic : {"random_0.txt", "--list", "--token URI", "--slot ID", "--module",
                                  "PKCS11_MODULE_PATH", "64 ", "255", "randdump(1)"})
            EXPECT_NE(run.result.out.find(topic), std::string::npos) << topic;
    }
    for (const char *version : {"--version", "-V"})
        EXPECT_EQ(Dump({.args = {version}}).result.out, "randdump " CKHELPER_VERSION_TEXT "\n");

    // One row for each kind of refusal: status 64 and one line that names the option, with
    // nothing loaded or written, and never the PIN.
    const std::string pin = "4711";
    const auto files = [](const fs::path &dir) {
        mkfifo((dir / "fifo").c_str(), 0600);
        std::ofstream(dir / "empty") << "\n4711\n";
        std::ofstream(dir / "random_0.txt") << kOld;
        fs::create_symlink("random_0.txt", dir / "link");
        fs::create_hard_link(dir / "random_0.txt", dir / "hard");
    };
    std::array<int, 2> terminal{};  // master, slave
    ASSERT_EQ(openpty(&terminal[0], &terminal[1], nullptr, nullptr, nullptr), 0);
    const std::function<void()> onTerminal = [&] { dup2(terminal[1], 1); };
    const std::function<void()> closed = [] { close(1); };
    // clang-format off
    for (const auto &[args, names, inChild] : std::vector<std::tuple<std::vector<std::string>, std::string,
             std::function<void()>>>{
             {{"-x"}, "'-x'", {}},
             {{"--help", "extra"}, "'extra'", {}},
             {{"-V", "--list"}, "--version", {}},
             {{"--slot"}, "'--slot'", {}},
             {{"--slot", "12x"}, "--slot", {}},
             {{"--slot", "0x10000000000000000"}, "--slot", {}},
             {{"--slot", "1", "--slot", "2"}, "'--slot' is given twice", {}},
             {{"--slot", "1", "--token", "pkcs11:token=lab"}, "--slot and --token", {}},
             {{"--list", "--slot", "1"}, "--list", {}},
             {{"--json"}, "--json goes with --list", {}},
             {{"--token", "token=lab"}, "--token: 'token=lab' is not a PKCS#11 URI: the scheme must be pkcs11:", {}},
             {{"--token", "pkcs11:token=lab;object=x"}, "--token", {}},
             {{"--token", "pkcs11:tokn=lab"}, "--token", {}},
             {{"--token", "pkcs11:token=zzz;token=lab"}, "--token", {}},
             {{"--token", "pkcs11:slot-id=18446744073709551615"}, "--token", {}},
             {{"--token", "pkcs11:token=" + std::string(33, 'x')}, "--token", {}},
             {{"--token", "pkcs11:token=lab?pin-value=" + pin + "&pin-value=1234"}, "--token", {}},
             {{"--token", "pkcs11:token=lab? pin-value=" + pin}, "--token", {}},
             {{"--token", "pkcs11:token=lab?pin-value =" + pin}, "--token", {}},
             {{"--token", "pkcs11:token=lab?pin-value=47%0011"}, "--token", {}},
             {{"--tokne=pkcs11:token=lab?pin-value=" + pin}, "unexpected argument", {}},
             {{"--token", "pkcs11:token=lab?pin-value"}, "--token", {}},
             {{"--token", "pkcs11:token=lab;pin-value"}, "--token", {}},
             {{"--token", "pkcs11:token=lab?PIN-VALUE=" + pin}, "--token", {}},
             {{"--token", "pkcs11:token=lab?Pin-Value=" + pin}, "--token", {}},
             {{"--token", "pkcs11:token=lab??pin-value=" + pin}, "--token", {}},
             {{"--token", "pkcs11:tok%ZZen=lab?pin-value=" + pin}, "--token: 'pkcs11:tok%ZZen=lab'", {}},
             {{"--token", "pkcs11:token=lab?pin-source=fifo"}, "--token", {}},
             {{"--token", "pkcs11:token=lab?pin-source=empty"}, "--token", {}},
             {{"--token", "pkcs11:token=lab?pin-source=missing"}, "--token", {}},
             {{"--bytes", "0"}, "--bytes", {}},
             {{"--bytes", "1Q"}, "--bytes", {}},
             {{"--bytes", "-5"}, "--bytes", {}},
             {{"--bytes", "9223372036854775808"}, "--bytes", {}},
             {{"--bytes", "8388608T"}, "--bytes", {}},
             {{"--block", "1025K"}, "--block", {}},
             {{"--sessions", "65"}, "--sessions", {}},
             {{"--module", ""}, "--module", {}},
             {{"--restarts", "3"}, "--restarts", {}},
             {{"--restarts", "0", "--bytes", "1k"}, "--restarts", {}},
             {{"--restarts", "4", "--bytes", "4194304T"}, "--bytes times --restarts", {}},
             {{"--record", "-"}, "--record", {}},
             {{"-o", "random_0.txt", "--record", "random_0.txt"}, "--record 'random_0.txt' is the sample's own file "
              "'random_0.txt'", {}},
             {{"-o", "new.bin", "--record", "./new.bin"}, "--record './new.bin' is the sample's own file 'new.bin'", {}},
             {{"--record", "link"}, "--record 'link' is the sample's own file 'random_0.txt'", {}},
             {{"--slot", "0", "--record", "hard"}, "--record 'hard' is the sample's own file 'random_0.txt'", {}},
             {{"-o", "-", "--record", "/dev/stdout"}, "--record '/dev/stdout' is the file standard output writes to", {}},
             {{"--record", "/dev/fd/1"}, "--record '/dev/fd/1' is the file standard output writes to", {}},
             {{"-o", ""}, "-o", {}},
             {{"-o", "-", "-o", "x"}, "'-o' is given twice", {}},
             {{"-o", "random_0.txt", "--bytes", "unlimited"}, "--bytes unlimited", {}},
             {{"-o", "-"}, "-o -: standard output is a terminal", onTerminal},
             {{"-o", "-"}, "-o -: standard output is closed", closed}}) {
        // clang-format on
        SCOPED_TRACE(args.back());
        const DumpRun run =
            Dump({.setUp = files, .inChild = inChild, .args = args, .module = "/nonexistent"});
        EXPECT_EQ(run.result.exitStatus, 64);
        EXPECT_EQ(run.result.out + run.sample, kOld);
        const std::string &err = run.result.err;
        EXPECT_TRUE(err.starts_with("randdump: ") && err.ends_with("; see 'randdump --help'\n") &&
                    err.find('\n') == err.size() - 1 && err.find(names) != std::string::npos &&
                    err.find(pin) == std::string::npos)
            << err;
    }
    close(terminal[0]);
    close(terminal[1]);
}

// --list shows every slot, and each token's URI leads --token back to it: through the shim, at
// the slot IDs SoftHSM2 gives, with a slot that cannot be read shown as such; through p11-kit's
// proxy module, whose slot IDs start at 0x11; and through p11-kit's trust module, whose token has
// no random number generator.
TEST_F(Randdump, ListsEverySlotWithTheUriThatChoosesItsToken)
{
    const Token &lab = Find("lab");
    const std::string head =
        "Slot " + Named(lab.slot) + ": SoftHSM slot ID " + Hex(lab.slot) + "\n";
    const std::string block = head +
                              "  token: lab\n  manufacturer: SoftHSM project\n  model: SoftHSM "
                              "v2\n  serial: " +
                              lab.serial +
                              "\n  random number generator: yes\n"
                              "  login required: yes\n  initialized: yes\n  uri: pkcs11:model="
                              "SoftHSM%20v2;manufacturer=SoftHSM%20project;serial=" +
                              lab.serial + ";token=lab\n";
    const std::string unreadable =
        head + "  token: C_GetTokenInfo error e1, token not recognized\nSlot ";
    // clang-format off
    for (const auto &[module, script, shown] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {P11SHIM_PATH, "", block},
             {P11SHIM_PATH, "badslot=" + std::to_string(lab.slot), unreadable},
             {P11SHIM_PATH, "", "  token: " + kControlsShown + "\n"},
             {P11KIT_PROXY_PATH, "", "Slot 17 (0x11): "},
             {P11KIT_TRUST_PATH, "", "  random number generator: no\n"}}) {
        // clang-format on
        SCOPED_TRACE(module + " " + script);
        const bool trust = module == P11KIT_TRUST_PATH;
        const bool proxy = module == P11KIT_PROXY_PATH;
        if (proxy && geteuid() != 0)
            continue;  // its configuration is made its own by a mount
        const std::function<void()> inChild =
            proxy ? OwnProxyConfiguration : std::function<void()>();
        const DumpRun list =
            Dump({.script = script, .inChild = inChild, .args = {"--list"}, .module = module});
        ASSERT_EQ(list.result.exitStatus, 0) << list.result.err;
        EXPECT_EQ(list.result.err, "");
        EXPECT_EQ(list.calls.find("C_OpenSession"), std::string::npos) << list.calls;
        EXPECT_NE(list.result.out.find(shown), std::string::npos) << list.result.out;
        std::istringstream lines(list.result.out);
        std::set<CK_SLOT_ID> listed;
        CK_SLOT_ID slot = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line.starts_with("Slot "))
                listed.insert(slot = std::stoul(line.substr(5)));
            if (line.starts_with("  uri: ") && !line.ends_with(";token=") && script.empty()) {
                const DumpRun run = Dump({.inChild = inChild,
                                          .args = {"--token", line.substr(7), "--bytes", "64K"},
                                          .module = module,
                                          .sample = "random_" + std::to_string(slot) + ".txt"});
                EXPECT_EQ(run.result.exitStatus, trust ? 1 : 0) << line << run.result.err;
                EXPECT_EQ(run.sample.size(), trust ? kOld.size() : 65536) << line;
                EXPECT_TRUE(!trust || run.result.err.ends_with(
                                          "(System Trust) has no random number generator\n"))
                    << run.result.err;
            }
        }
        EXPECT_EQ(listed.size(), trust ? 1 : present_) << list.result.out;
    }
}

// A named temporary file goes with the signal that stops the run, which then ends the process.
TEST_F(Randdump, AStoppingSignalRemovesTheNamedTemporaryFile)
{
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        fs::path dir;
        const auto stop = [&](int pid) {
            for (int i = 0; i < 2000 && std::distance(fs::directory_iterator(dir), {}) < 2; ++i)
                usleep(1000);
            kill(pid, signal);
        };
        const DumpRun run = Dump({.script = "slow=5",
                                  .setUp = [&](auto &where) { dir = where; },
                                  .inChild = DenyUnnamedFiles,
                                  .whileRunning = stop});
        EXPECT_EQ(run.result.signal, signal);
        EXPECT_EQ(run.sample, kOld);
        EXPECT_EQ(run.files, std::set<std::string>{"random_0.txt"});
    }
}

// What the system is asked, seen by strace, which can also make a call fail: the temporary file
// is created for this process alone; exit 0 means the sample is on disk, the directory flushed
// after the rename; a failed flush is told as such; a name that another file holds is never
// removed, whatever signal comes.
TEST_F(Randdump, TheSystemCallsKeepTheSampleSafe)
{
    fs::path dir;
    const fs::path trace = logs_ / "trace";
    const auto traced = [&](const std::string &calls, const std::string &inject) {
        std::vector<std::string> wrapper{"/usr/bin/strace",
                                         "-E",
                                         "ASAN_OPTIONS=detect_leaks=0",
                                         "-f",
                                         "-y",
                                         "-qq",
                                         "-e",
                                         "trace=" + calls,
                                         "-o",
                                         trace.string()};
        if (!inject.empty())
            wrapper.insert(wrapper.end(), {"-e", "inject=" + inject});
        return wrapper;
    };
    const auto where = [&](auto &at) { dir = fs::canonical(at); };

    DumpRun run = Dump({.setUp = where,
                        .inChild = DenyUnnamedFiles,
                        .wrapper = traced("openat,renameat,renameat2,fsync", "")});
    ASSERT_EQ(run.result.exitStatus, 0) << run.result.err;
    std::string calls = ReadFile(trace);
    const std::size_t created = calls.find("random_0.txt.tmp.");
    ASSERT_NE(created, std::string::npos) << calls;
    EXPECT_NE(calls.find("O_EXCL|O_CLOEXEC, 0600)", created), std::string::npos) << calls;
    const std::size_t renamed = calls.find("renameat");
    ASSERT_NE(renamed, std::string::npos) << calls;
    EXPECT_NE(calls.find("fsync(", renamed), std::string::npos) << calls;
    EXPECT_NE(calls.find(dir.string() + ">)", renamed), std::string::npos) << calls;

    // The second fsync is the directory's, after the rename.
    run = Dump({.wrapper = traced("fsync", "fsync:error=EIO:when=2")});
    EXPECT_EQ(run.result.exitStatus, 3);
    EXPECT_EQ(run.result.err,
              "random_0.txt is in place, but its directory could not be flushed: "
              "Input/output error\n");
    EXPECT_EQ(run.sample.size(), kSampleSize);

    // Naming the unnamed file finds the name taken, and SIGTERM arrives just then.
    run = Dump({.wrapper = traced("linkat,unlink,unlinkat", "linkat:error=EEXIST:signal=SIGTERM")});
    EXPECT_EQ(run.result.signal, SIGTERM);
    EXPECT_EQ(run.sample, kOld);
    calls = ReadFile(trace);
    EXPECT_NE(calls.find("linkat("), std::string::npos) << calls;
    EXPECT_EQ(calls.find("unlink"), std::string::npos) << calls;
}

// SoftHSM2's output passes every check at every block size: 1 GiB of it for each (64 MiB
// unoptimised, 4 MiB instrumented), drawn afresh and judged in chunks as randdump's writer
// judges it.
TEST_F(Randdump, PassesAGeneratorsOutputAtEveryBlockSize)
{
#if defined(CKHELPER_SANITIZE)
    constexpr std::uint64_t kTotal = std::uint64_t{4} << 20;
#elif !defined(NDEBUG)
    constexpr std::uint64_t kTotal = std::uint64_t{64} << 20;
#else
    constexpr std::uint64_t kTotal = std::uint64_t{1} << 30;
#endif
    CK_FUNCTION_LIST_PTR p11 = ProviderFunctions();
    ASSERT_TRUE(p11 != nullptr);
    ASSERT_EQ(p11->C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(p11->C_OpenSession(Find("lab").slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session),
              CKR_OK);
    constexpr std::size_t kCall = 65536;
    std::vector<std::byte> chunk;
    for (const std::size_t block : {std::size_t{1}, std::size_t{7}, std::size_t{1024}, kCall}) {
        SCOPED_TRACE(block);
        randdump::HealthChecks checks(randdump::HealthChecks::DrawPattern(), block, std::nullopt);
        chunk.resize((std::size_t{1} << 20) / block * block);
        for (std::uint64_t offset = 0; offset < kTotal; offset += chunk.size()) {
            for (std::size_t at = 0; at < chunk.size(); at += kCall) {
                ASSERT_EQ(p11->C_GenerateRandom(session, reinterpret_cast<CK_BYTE_PTR>(&chunk[at]),
                                                std::min(kCall, chunk.size() - at)),
                          CKR_OK);
            }
            ASSERT_TRUE(checks.Feed({chunk, offset, block})) << checks.Record().dump();
        }
    }
    p11->C_CloseSession(session);
    p11->C_Finalize(nullptr);
}

// randdump --list --json: one document, the record's module, slot and token objects, every slot
// in the module's order (one whose token cannot be read with the failure's name, an uninitialised
// token as such); and a record's slot and token are exactly the listing's.
TEST_F(Randdump, ListsEverySlotAsJsonWithTheRecordsObjects)
{
    const Token &lab = Find("lab");
    const Token &twin = Find("twin");
    const DumpRun list = Dump(
        {.script = "badslot=" + std::to_string(twin.slot), .args = {"--list", "--json", "-q"}});
    ASSERT_EQ(list.result.exitStatus, 0) << list.result.err;
    EXPECT_EQ(list.result.err, "");
    const nlohmann::json listing = nlohmann::json::parse(list.result.out);
    EXPECT_EQ(listing["module"]["path"], P11SHIM_PATH);
    // The module's own file, as sha256sum and stat see it.
    const std::string digest =
        testsupport::RunChild({"/usr/bin/sha256sum", P11SHIM_PATH}, "/", {}).out.substr(0, 64);
    EXPECT_EQ(listing["module"]["sha256"], digest);
    EXPECT_EQ(listing["module"]["size"], fs::file_size(P11SHIM_PATH));
    ASSERT_EQ(listing["slots"].size(), present_);
    using Type = nlohmann::json::value_t;
    nlohmann::json labSlot;
    bool uninitialised = false;
    for (const nlohmann::json &slot : listing["slots"]) {
        EXPECT_EQ(slot["id"].type(), Type::number_unsigned);
        for (const char *key :
             {"description", "manufacturer", "hardware_version", "firmware_version"})
            EXPECT_EQ(slot[key].type(), Type::string) << key;
        if (slot["id"] == twin.slot) {
            EXPECT_EQ(slot["token"], nullptr);
            EXPECT_EQ(slot["error"], "CKR_TOKEN_NOT_RECOGNIZED");
            continue;
        }
        EXPECT_EQ(slot["error"], nullptr);
        for (const char *key : {"initialized", "rng", "login_required", "write_protected"})
            EXPECT_EQ(slot["token"][key].type(), Type::boolean) << key;
        uninitialised = uninitialised || slot["token"]["initialized"] == false;
        if (slot["id"] == lab.slot)
            labSlot = slot;
    }
    EXPECT_TRUE(uninitialised) << list.result.out;
    const DumpRun run =
        Dump({.args = {"--token", "pkcs11:token=lab", "--bytes", "1k", "--record", kRecord},
              .sample = SampleOf(lab)});
    ASSERT_EQ(run.result.exitStatus, 0) << run.result.err;
    const nlohmann::json record = nlohmann::json::parse(run.record);
    EXPECT_EQ(record["module"], listing["module"]);
    EXPECT_EQ(record["login"], false);
    EXPECT_EQ(record["token"], labSlot["token"]);
    labSlot.erase("token");
    labSlot.erase("error");
    EXPECT_EQ(record["slot"], labSlot);
}

// The listing's `error` as scripts compare it: each result as the header spells it, which its
// text does not always tell (data length range, key indigestable, PIN expiered); a code the
// standard does not name, a vendor's included, in hex.
TEST(ResultIdentifier, NamesEachResultAsTheHeaderSpellsIt)
{
    const std::vector<std::pair<CK_RV, std::string>> rows{
        {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
        {CKR_DATA_LEN_RANGE, "CKR_DATA_LEN_RANGE"},
        {CKR_KEY_INDIGESTIBLE, "CKR_KEY_INDIGESTIBLE"},
        {CKR_PIN_EXPIRED, "CKR_PIN_EXPIRED"},
        {CKR_RANDOM_NO_RNG, "CKR_RANDOM_NO_RNG"},
        {CKR_SESSION_PARALLEL_NOT_SUPPORTED, "CKR_SESSION_PARALLEL_NOT_SUPPORTED"},
        {0x80000102UL, "0x80000102"},
        {0x1234UL, "0x1234"},
    };
    for (const auto &[rv, name] : rows)
        EXPECT_EQ(randdump::ResultIdentifier(rv), name);
}

// A setuid-root copy and a copy with file capabilities bind the built-in module whatever their
// caller names, give it none of the caller's environment, and read and write only what their
// caller could, as their caller.
TEST_F(Randdump, APrivilegedCopyLoadsNoModuleItsCallerNamesAndWorksWithItsCallersRights)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a privileged copy needs root";
    const TempDir secret;  // root's alone
    std::ofstream(secret / "pin") << "1234\n";
    ASSERT_EQ(mkfifo((secret / "fifo").c_str(), 0666), 0);
    const std::string pin = (secret / "pin").string();
    // The module reads the token store only the system's configuration names: this test's, in a
    // mount namespace of the run's own.
    // Never the machine's own: an empty store stands for it where the caller's is not wanted.
    const TempDir empty;
    fs::create_directory(empty / "tokens");
    std::ofstream(empty / "softhsm2.conf")
        << "directories.tokendir = " << (empty / "tokens").string()
        << "\nobjectstore.backend = file\n";
    const auto configuration = [](const std::string &conf) {
        return std::function<void()>([conf] {
            if (unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount(conf.c_str(), "/etc/softhsm/softhsm2.conf", nullptr, MS_BIND, nullptr) != 0)
                _exit(126);
        });
    };
    const std::function<void()> ownConfiguration = configuration(conf_);
    for (const bool capable : {false, true}) {
        SCOPED_TRACE(capable ? "cap_dac_override+ep" : "setuid root");
        const TempDir copy;
        const fs::path program = copy / "randdump";
        fs::copy(RANDDUMP_PATH, program);
        ASSERT_EQ(chmod(program.c_str(), capable ? 0755 : 04755) | chmod(copy.path.c_str(), 0755),
                  0);
        if (capable) {
            const std::string setcap = "/usr/sbin/setcap cap_dac_override+ep " + program.string();
            ASSERT_EQ(std::system(setcap.c_str()), 0);
        }
        std::vector<std::string> argv = kAsNobody;
        argv.push_back(program.string());
        auto run = testsupport::RunChild(argv, "/",
                                         {{"PKCS11_MODULE_PATH", "/nonexistent/module.so"},
                                          {"SOFTHSM2_CONF", "/nonexistent/softhsm2.conf"}});
        EXPECT_EQ(run.err.find("/nonexistent/module.so"), std::string::npos) << run.err;
        EXPECT_NE(run.exitStatus, 2);

        // The caller's SOFTHSM2_CONF does not reach the module: its tokens are not listed.
        std::vector<std::string> list = argv;
        list.emplace_back("--list");
        run = testsupport::RunChild(list, "/", {{"SOFTHSM2_CONF", conf_}},
                                    configuration((empty / "softhsm2.conf").string()));
        EXPECT_EQ(run.out.find("token: lab"), std::string::npos) << run.out;

        // What the options name is looked at with the caller's rights, and --module is refused.
        // clang-format off
        for (const auto &[args, error, status] : std::vector<std::tuple<std::vector<std::string>, std::string, int>>{
                 {{"--token", "pkcs11:token=lab?pin-source=" + pin}, "randdump: --token: cannot read the PIN from " +
                  pin + ": Permission denied; see 'randdump --help'\n", 64},
                 {{"-o", (secret / "fifo").string(), "--bytes", "unlimited"}, "randdump: --bytes unlimited writes "
                  "only to standard output (-o -) or a FIFO; see 'randdump --help'\n", 64},
                 {{"--module", SOFTHSM2_MODULE}, "randdump: --module is refused in a setuid, setgid or capable copy; "
                  "see 'randdump --help'\n", 64},
                 {{"--record", (secret / "record.json").string()}, "Cannot write " + (secret / "record.json").string() +
                  ": Permission denied\n", 3},
                 {{"-o", (secret / "sample.bin").string()}, "Cannot write " + (secret / "sample.bin").string() +
                  ": Permission denied\n", 3}}) {
            // clang-format on
            std::vector<std::string> command = argv;
            command.insert(command.end(), args.begin(), args.end());
            run = testsupport::RunChild(command, "/", {}, ownConfiguration);
            EXPECT_EQ(run.exitStatus, status) << args.back();
            EXPECT_EQ(run.err, error);
        }
        EXPECT_FALSE(fs::exists(secret / "record.json") || fs::exists(secret / "sample.bin"));

        for (const mode_t mode : {0755, 0777}) {  // root's directory; one open to all
            const TempDir work;
            ASSERT_EQ(chmod(work.path.c_str(), mode), 0);
            run = testsupport::RunChild(argv, work.path, {}, ownConfiguration);
            struct stat sample {};
            const bool made = stat((work / "random_0.txt").c_str(), &sample) == 0;
            if (mode == 0755) {
                EXPECT_EQ(run.exitStatus, 3);
                EXPECT_EQ(run.err, "Cannot write random_0.txt: Permission denied\n");
                EXPECT_FALSE(made);
            } else {
                EXPECT_EQ(run.exitStatus, 0) << run.err;
                EXPECT_TRUE(made && sample.st_uid == kNobody && sample.st_gid == kNobody);
            }
        }
    }
}

// -o follows a link as a redirection would, the kernel's protections included: a link that
// another user planted in a sticky directory open to all does not lead to the caller's file.
TEST_F(Randdump, FollowsALinkGivenToOutputAsARedirectionWould)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a link of another user's needs root";
    // The protection as a booted system has it (systemd turns it on), for this test's while.
    const fs::path knob = "/proc/sys/fs/protected_symlinks";
    const std::string saved = ReadFile(knob);
    std::ofstream(knob) << "1\n";
    const DumpRun run = Dump({.setUp =
                                  [](auto &dir) {
                                      chmod(dir.c_str(), 01777);
                                      std::ofstream(dir / "mine") << kOld;
                                      fs::create_symlink("mine", dir / "planted.bin");
                                      lchown((dir / "planted.bin").c_str(), kNobody, kNobody);
                                  },
                              .args = {"-o", "planted.bin", "--bytes", "64"},
                              .fresh = true,
                              .sample = "mine"});
    std::ofstream(knob) << saved;
    EXPECT_EQ(run.result.exitStatus, 3);
    EXPECT_EQ(run.result.err, "Cannot write planted.bin: Permission denied\n");
    EXPECT_EQ(run.sample, kOld);
    EXPECT_EQ(run.files, (std::set<std::string>{"mine", "planted.bin@"}));
}

// People watching on a terminal see a progress line with the rate, and the share done where
// there is an end; it is gone when the run ends.
TEST_F(Randdump, ShowsProgressOnlyOnATerminalAndErasesIt)
{
    for (const bool endless : {false, true}) {
        std::array<int, 2> pty{};  // master, slave
        ASSERT_EQ(openpty(&pty[0], &pty[1], nullptr, nullptr, nullptr), 0);
        std::string screen;
        const auto watch = [&](int) {
            close(pty[1]);
            std::array<char, 4096> chunk{};
            for (ssize_t got = 0; (got = read(pty[0], chunk.data(), chunk.size())) > 0;)
                screen.append(chunk.data(), static_cast<std::size_t>(got));
        };
        Options options{
            .script = "slow=3", .inChild = [&] { dup2(pty[1], 2); }, .whileRunning = watch};
        if (endless) {
            options.args = {"-o", "-", "--bytes", "unlimited"};
            options.wrapper = {"/bin/bash", "-c", "\"$0\" \"$@\" | head -c 30000000 >/dev/null"};
        }
        const DumpRun run = Dump(options);
        close(pty[0]);
        EXPECT_EQ(run.result.exitStatus, 0);
        EXPECT_NE(screen.find(" MiB/s"), std::string::npos) << screen;
        EXPECT_EQ(screen.find('%') != std::string::npos, !endless) << screen;
        // With the sample on standard output, the banner is on the terminal too.
        EXPECT_TRUE(screen.starts_with(endless ? "Sorvane" : "\r") && screen.ends_with("\r\033[K"))
            << screen;
    }
}

}  // namespace
