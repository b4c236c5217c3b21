// kestrel-mbx imap: the URL and the folder names as IMAP carries them, then
// the command against a real server, dovecot, started by the test with a CA
// and a certificate of its own: what an independent reader (Python's
// imaplib) finds in the account afterwards, a run that appends nothing the
// second time, runs cut off by kill -9 or a dropped connection and run
// again, and the refusals (a wrong password or CA, a server without
// STARTTLS), after none of which a credential appears anywhere. The Windows
// build runs the same cases under Wine, over Schannel (all but the kill -9).
#include "mbx/imap_protocol.hpp"
#include "mbx/imap_url.hpp"
#include "tests/e2e_helpers.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace e2e;

namespace {

struct UrlCase {
    const char* text;
    bool good;
    bool tls_at_once;
    const char* user;
    const char* host;
    unsigned port;
    const char* prefix;
};

TEST(ImapUrl, ReadsTheAccountAndRefusesWhatIsNoAccount)
{
    const UrlCase cases[] = {
        {"imaps://joe@mail.example.org", true, true, "joe", "mail.example.org", 993, ""},
        {"imap://joe@127.0.0.1:1143/", true, false, "joe", "127.0.0.1", 1143, ""},
        {"imaps://joe%40example.org@imap.example.org/Old/VMS", true, true, "joe@example.org",
         "imap.example.org", 993, "Old/VMS"},
        {"imaps://joe@example.org@imap.example.org/Caf%C3%A9", true, true, "joe@example.org",
         "imap.example.org", 993, "Caf\xC3\xA9"},
        {"imaps://joe@[::1]:994", true, true, "joe", "::1", 994, ""},
        {"imap://joe@host", true, false, "joe", "host", 143, ""},
        {"http://joe@host", false, false, "", "", 0, ""},
        {"imaps://host", false, false, "", "", 0, ""},
        {"imaps://@host", false, false, "", "", 0, ""},
        {"imaps://joe@", false, false, "", "", 0, ""},
        {"imaps://joe@host:", false, false, "", "", 0, ""},
        {"imaps://joe@host:0", false, false, "", "", 0, ""},
        {"imaps://joe@host:65536", false, false, "", "", 0, ""},
        {"imaps://joe@host:99x", false, false, "", "", 0, ""},
        {"imaps://joe@[::1", false, false, "", "", 0, ""},
        {"imaps://jo%4@host", false, false, "", "", 0, ""},
        {"imaps://joe@host/a%00b", false, false, "", "", 0, ""},
    };
    for (const auto& c : cases) {
        ImapUrl url;
        std::string problem;
        bool good = parse_imap_url(c.text, url, problem);
        EXPECT_EQ(good, c.good) << c.text << ": " << problem;
        if (!good || !c.good) {
            EXPECT_NE(problem, "") << c.text;
            continue;
        }
        EXPECT_EQ(url.tls_at_once, c.tls_at_once) << c.text;
        EXPECT_EQ(url.user, c.user) << c.text;
        EXPECT_EQ(url.host, c.host) << c.text;
        EXPECT_EQ(url.port, c.port) << c.text;
        EXPECT_EQ(url.prefix, c.prefix) << c.text;
    }
}

TEST(ImapFolderNames, ModifiedUtf7AsRfc3501Writes)
{
    const std::pair<const char*, const char*> cases[] = {
        {"MAIL", "MAIL"},
        {"Tom & Jerry", "Tom &- Jerry"},
        {"Entw\xC3\xBC"
         "rfe",
         "Entw&APw-rfe"},
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "&ZeVnLIqe-"}, // three CJK characters
        {"~peter/mail/\xE5\x8F\xB0\xE5\x8C\x97/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
         "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
        {"\xF0\x9F\x93\xA7", "&2D3c5w-"}, // outside the BMP: a surrogate pair
        {"caf\xE9", "caf&AOk-"},          // Latin-1, not UTF-8
        {"a\x01z", "a&AAE-z"},
    };
    for (const auto& [utf8, wire] : cases)
        EXPECT_EQ(modified_utf7(utf8), wire) << utf8;
}

// ---- the server ----

bool installed(const char* path)
{
    return access(path, X_OK) == 0;
}

const char* const dovecot_binary = "/usr/sbin/dovecot";
const char* const openssl_binary = "/usr/bin/openssl";
const char* const python_binary = "/usr/bin/python3";
const std::string password = "Pw-7f3!q\"x";

// A port no one listens on now, from the system.
unsigned free_port()
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
    close(s);
    return ntohs(a.sin_port);
}

ChildResult run_tool(const std::string& binary, std::vector<std::string> arguments,
                     const std::string& directory)
{
    ChildOptions o;
    o.binary = binary;
    o.arguments = std::move(arguments);
    o.environment = {"TZ=UTC", "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    o.directory = directory;
    o.host_program = true;
    o.time_limit = 60;
    return run_child(o);
}

// dovecot on 127.0.0.1 (and 127.0.0.2, which its certificate does not name):
// imaps on `tls_port`, STARTTLS on `plain_port`, every user with the one
// password, each user an account of its own.
struct Dovecot {
    TempDir dir;
    unsigned tls_port = 0, plain_port = 0;
    std::string problem; // why it could not start

    std::string file(const std::string& name) const { return dir.file(name); }

    bool start()
    {
        chmod(dir.path().c_str(), 0755);
        const std::string d = dir.path();
        std::vector<std::vector<std::string>> steps = {
            {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
             "-days", "2", "-subj", "/CN=Kestrel Test CA"},
            {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "other.key", "-out",
             "other.pem", "-days", "2", "-subj", "/CN=Another CA"},
            {"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "srv.key", "-out", "srv.csr",
             "-subj", "/CN=127.0.0.1"},
            {"x509", "-req", "-in", "srv.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
             "-CAcreateserial", "-out", "srv.pem", "-days", "2", "-extfile", "ext.cnf"}};
        write_file(file("ext.cnf"), "subjectAltName=IP:127.0.0.1\n");
        for (const auto& step : steps)
            if (run_tool(openssl_binary, step, d).exit_status != 0) {
                problem = "openssl could not make the certificates";
                return false;
            }
        // The file a run trusts holds another CA before the right one.
        write_file(file("cas.pem"), read_file(file("other.pem")) + read_file(file("ca.pem")));
        std::filesystem::create_directories(file("home"));
        chown(file("home").c_str(), 65534, 65534);
        tls_port = free_port();
        plain_port = free_port();
        write_file(file("dovecot.conf"),
                   "base_dir = " + d + "/base\nstate_dir = " + d + "/state\nlog_path = " + d +
                       "/dovecot.log\nlisten = 127.0.0.1, 127.0.0.2\n"
                       "protocols = imap\nssl = required\n"
                       "ssl_cert = <" +
                       d + "/srv.pem\nssl_key = <" + d +
                       "/srv.key\n"
                       "default_internal_user = nobody\ndefault_login_user = nobody\n"
                       "mail_location = maildir:~/Maildir\n"
                       "mail_plugins = quota\n"
                       "plugin {\n  quota = count:User quota\n  quota_vsizes = yes\n"
                       "  quota_rule = *:storage=1G\n  quota_max_mail_size = 60k\n}\n"
                       "passdb {\n  driver = static\n  args = password=" +
                       password +
                       "\n}\n"
                       "userdb {\n  driver = static\n  args = uid=65534 gid=65534 home=" +
                       d +
                       "/home/%u\n}\n"
                       "service imap-login {\n  inet_listener imap {\n    port = " +
                       std::to_string(plain_port) +
                       "\n  }\n  inet_listener imaps {\n"
                       "    port = " +
                       std::to_string(tls_port) + "\n    ssl = yes\n  }\n}\n");
        // dovecot goes into the background with its output elsewhere: the
        // pipes of the run would stay open as long as it runs.
        ChildResult r = run_tool("/bin/sh",
                                 {"-c", std::string(dovecot_binary) + " -c " +
                                            file("dovecot.conf") + " >start.log 2>&1"},
                                 d);
        if (r.exit_status != 0) {
            problem = "dovecot did not start: " + read_file(file("start.log"));
            return false;
        }
        return true;
    }

    // Waits until no IMAP session of the server is left: each runs in an
    // "imap" process of dovecot's master, which ends with its session.
    void wait_for_sessions_to_end() const
    {
        const std::string master = read_file(file("base/master.pid"));
        const std::string parent = " " + std::to_string(std::stoi(master)) + " ";
        for (int tries = 0; tries < 600; ++tries) {
            bool busy = false;
            for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
                std::ifstream in(entry.path() / "stat");
                std::string stat;
                if (!std::getline(in, stat))
                    continue;
                std::size_t close = stat.rfind(')');
                if (close != std::string::npos && stat.find("(imap)") != std::string::npos &&
                    stat.compare(close + 2, 2, "Z ") != 0 &&
                    stat.find(parent, close + 2) == close + 3)
                    busy = true;
            }
            if (!busy)
                return;
            usleep(100000);
        }
    }

    ~Dovecot()
    {
        if (!file_exists(file("base/master.pid")))
            return;
        pid_t pid = std::stoi(read_file(file("base/master.pid")));
        kill(pid, SIGTERM);
        for (int i = 0; i < 100 && kill(pid, 0) == 0; ++i)
            usleep(50000);
    }
};

Dovecot* server = nullptr;

class Imap : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        if (geteuid() != 0 || !installed(dovecot_binary) || !installed(openssl_binary) ||
            !installed(python_binary))
            return;
        server = new Dovecot;
        if (!server->start()) {
            std::string why = server->problem;
            delete server;
            server = nullptr;
            std::fprintf(stderr, "%s\n", why.c_str());
        }
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "not root: dovecot's accounts need an owner of their own";
        if (!installed(dovecot_binary) || !installed(openssl_binary) || !installed(python_binary))
            GTEST_SKIP() << "dovecot, openssl or python3 is missing (.ci/run installs them)";
        ASSERT_NE(server, nullptr) << "dovecot could not be started";
    }
};

// kestrel-mbx imap with the test's CA; nothing it writes holds the password.
ChildResult run_imap(const Workspace& w, std::vector<std::string> arguments,
                     const std::string& given_password = password)
{
    ChildOptions o = w.options({"imap", "--cafile", server->file("cas.pem")});
    o.arguments.insert(o.arguments.end(), arguments.begin(), arguments.end());
    o.binary = kestrel_mbx_binary();
    o.environment.push_back("KESTREL_IMAP_PASSWORD=" + given_password);
    o.time_limit = 120;
    ChildResult r = run_child(o);
    EXPECT_EQ(r.output.find(given_password), std::string::npos) << r.output;
    EXPECT_EQ(r.errors.find(given_password), std::string::npos) << r.errors;
    return r;
}

std::string imaps(const std::string& user, const std::string& prefix = "")
{
    return "imaps://" + user + "@127.0.0.1:" + std::to_string(server->tls_port) +
           (prefix.empty() ? "" : "/" + prefix);
}

// Every message of the account as imaplib sees it, folder by folder (the
// names as IMAP carries them) in the order of the folder: "FOLDER|FLAGS|
// INTERNALDATE|MESSAGE-ID", then "|" and the message's bytes in hex when
// `bodies`.
const char* python_reader = R"PY(import imaplib, ssl, sys, re
port, cafile, user, password, bodies = sys.argv[1:6]
box = imaplib.IMAP4_SSL('127.0.0.1', int(port),
                        ssl_context=ssl.create_default_context(cafile=cafile))
box.login(user, password)
folders = []
for entry in box.list()[1]:
    attributes, delimiter, name = re.match(r'\(([^)]*)\) (NIL|"[^"]*") (.*)$',
                                           entry.decode()).groups()
    if '\\Noselect' not in attributes and name != 'INBOX':
        folders.append(name.strip('"'))
for name in sorted(folders):
    count = int(box.select('"' + name + '"', readonly=True)[1][0])
    for n in range(1, count + 1):
        items = box.fetch(str(n), '(FLAGS INTERNALDATE BODY.PEEK[])')[1][0]
        head = items[0].decode()
        flags = re.search(r'FLAGS \(([^)]*)\)', head).group(1).replace('\\Recent', '').strip()
        date = re.search(r'INTERNALDATE "([^"]*)"', head).group(1)
        text = items[1]
        ident = re.search(rb'\r\nMessage-ID: ([^\r]*)\r\n', text).group(1).decode()
        line = '|'.join([name, flags, date, ident])
        if bodies == 'yes':
            line += '|' + text.hex()
        print(line)
box.logout()
)PY";

std::vector<std::string> account(const Workspace& w, const std::string& user, bool bodies)
{
    w.put("reader.py", python_reader);
    ChildResult r = run_tool(python_binary,
                             {w.dir.file("reader.py"), std::to_string(server->tls_port),
                              server->file("ca.pem"), user, password, bodies ? "yes" : "no"},
                             w.dir.path());
    EXPECT_EQ(r.exit_status, 0) << r.errors;
    std::vector<std::string> lines;
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string hex_of(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

// The .eml texts that `kestrel-mbx eml` makes of the mailbox, in order.
std::vector<std::string> eml_texts(Workspace& w, const std::string& mailbox)
{
    const std::string out = "eml-" + mailbox;
    ChildOptions o = w.options({"eml", mailbox, out});
    o.binary = kestrel_mbx_binary();
    EXPECT_EQ(run_child(o).exit_status, 0);
    std::vector<std::string> texts;
    for (const auto& name : TempDir::entries_of(w.dir.file(out)))
        texts.push_back(read_file(w.dir.file(out) + "/" + name));
    return texts;
}

std::string message_id_of(const std::string& text)
{
    std::size_t at = text.find("\r\nMessage-ID: ") + 14;
    return text.substr(at, text.find("\r\n", at) - at);
}

// A mailbox converted from the folder text `folder` into `name`.MBX.
void make_mailbox(Workspace& w, const std::string& name, const std::string& folder)
{
    w.put(name + ".TXT", folder);
    ASSERT_EQ(w.run({name + ".TXT", "."}).exit_status, 0);
}

// A mailbox of `size` bytes of generated messages, `name`.MBX.
void make_generated_mailbox(Workspace& w, const std::string& name, const std::string& size)
{
    ChildOptions g = w.options({"--output", w.dir.file(name + ".TXT"), "--size", size,
                                "--message-size", "1500", "--seed", "9"});
    g.binary = GENERATE_FOLDER_BINARY;
    g.host_program = true;
    ASSERT_EQ(run_child(g).exit_status, 0);
    ASSERT_EQ(w.run({name + ".TXT", "."}).exit_status, 0);
}

const std::string two_messages =
    message("From:\tNODE1::SMITH    4-MAR-1996 13:58:04.09",
            {"To:\tJONES", "Subj:\tLunch", "", "From here on:", "bye"}) +
    message("From:\tNODE2::JONES \"Al Jones\"  39-FEB-1996 07:05:23.33",
            {"To:\tSMITH", "Subj:\tCaf\xE9", "", "\xE9t\xE9", std::string(600, 'x')});

TEST_F(Imap, EachMailboxBecomesAFolderWithTheExportsTextsFlagsAndDates)
{
    Workspace w;
    make_mailbox(w, "MAIL", two_messages);
    make_mailbox(
        w, "NEWMAIL",
        message("From:\tNODE3::KIM  17-SEP-1996 07:05:23.33", {"To:\tSMITH", "", "unread"}));
    make_mailbox(w,
                 "Entw\xC3\xBC"
                 "rfe",
                 message("From:\tNODE3::KIM  1-JAN-2001 00:00:01.00", {"Subj:\tdraft", "", "d"}));
    const std::string drafts = "Entw\xC3\xBC"
                               "rfe.MBX";
    ChildResult r = run_imap(w, {"MAIL.MBX", "NEWMAIL.MBX", drafts, imaps("ann", "Old VMS")});
    EXPECT_EQ(r.exit_status, 0) << r.errors;
    EXPECT_EQ(r.errors, "");
    EXPECT_EQ(r.output, "MAIL.MBX: 2 messages, 2 appended, 0 already there -> Old VMS.MAIL\n"
                        "NEWMAIL.MBX: 1 message, 1 appended, 0 already there -> Old VMS.NEWMAIL\n" +
                            drafts +
                            ": 1 message, 1 appended, 0 already there -> Old VMS.Entw\xC3\xBC"
                            "rfe\n");
    std::vector<std::string> mail = eml_texts(w, "MAIL.MBX");
    std::vector<std::string> newmail = eml_texts(w, "NEWMAIL.MBX");
    std::vector<std::string> draft = eml_texts(w, drafts);
    ASSERT_EQ(mail.size(), 2u);
    const std::vector<std::string> expected = {
        "Old VMS.Entw&APw-rfe|\\Seen|01-Jan-2001 00:00:01 +0000|" + message_id_of(draft[0]) + "|" +
            hex_of(draft[0]),
        "Old VMS.MAIL|\\Seen|04-Mar-1996 13:58:04 +0000|" + message_id_of(mail[0]) + "|" +
            hex_of(mail[0]),
        "Old VMS.MAIL|\\Seen|10-Mar-1996 07:05:23 +0000|" + message_id_of(mail[1]) + "|" +
            hex_of(mail[1]),
        "Old VMS.NEWMAIL||17-Sep-1996 06:05:23 +0000|" + message_id_of(newmail[0]) + "|" +
            hex_of(newmail[0])};
    EXPECT_EQ(account(w, "ann", true), expected);

    // Run again, the password from --password-command (run by cmd on
    // Windows) before the environment's: everything is there, nothing is
    // appended.
    const std::string say_password =
        target_is_windows() ? "echo " + password : "printf '%s\\n' '" + password + "'";
    r = run_imap(w,
                 {"--password-command", say_password, "MAIL.MBX", "NEWMAIL.MBX", drafts,
                  imaps("ann", "Old VMS")},
                 "not-the-password");
    EXPECT_EQ(r.exit_status, 0) << r.errors;
    EXPECT_EQ(r.output.substr(0, r.output.find('\n')),
              "MAIL.MBX: 2 messages, 0 appended, 2 already there -> Old VMS.MAIL");
    EXPECT_EQ(account(w, "ann", true), expected);
}

// Over STARTTLS, --unread, and a mailbox that holds the same message twice:
// after a run that stored one copy, a run again appends the other.
TEST_F(Imap, StartTlsUnreadAndTwinMessages)
{
    Workspace w;
    const std::string twin = message("From:\tNODE3::KIM  17-SEP-1996 07:05:23.33", {"", "same"});
    make_mailbox(w, "MAIL", twin);
    const std::string url = "imap://bea@127.0.0.1:" + std::to_string(server->plain_port);
    ChildResult r = run_imap(w, {"--unread", "MAIL.MBX", url});
    EXPECT_EQ(r.output, "MAIL.MBX: 1 message, 1 appended, 0 already there -> MAIL\n");
    std::filesystem::remove(w.dir.file("MAIL.MBX"));
    make_mailbox(w, "MAIL", twin + twin + two_messages);
    r = run_imap(w, {"--unread", "MAIL.MBX", url});
    EXPECT_EQ(r.output, "MAIL.MBX: 4 messages, 3 appended, 1 already there -> MAIL\n");
    r = run_imap(w, {"--unread", "MAIL.MBX", url});
    EXPECT_EQ(r.exit_status, 0) << r.errors;
    EXPECT_EQ(r.output, "MAIL.MBX: 4 messages, 0 appended, 4 already there -> MAIL\n");
    std::vector<std::string> seen = account(w, "bea", false);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], seen[1]);
    for (const auto& line : seen)
        EXPECT_EQ(line.substr(0, 6), "MAIL||") << line;
}

// A connection that fails or a server that refuses ends the run with the
// reason and a status of 1; nothing is appended and no credential leaks.
TEST_F(Imap, RefusalsAreSaidAndAppendNothing)
{
    Workspace w;
    make_mailbox(w, "MAIL", two_messages);
    struct Case {
        std::vector<std::string> arguments;
        std::string given_password;
        int status;
        std::string error; // a part of standard error
    };
    const std::string url = imaps("cy");
    const std::vector<Case> cases = {
        {{"MAIL.MBX", url}, "not-" + password, 1, "refused the login: NO [AUTHENTICATIONFAILED]"},
        {{"--cafile", server->file("other.pem"), "MAIL.MBX", url},
         password,
         1,
         "the server's certificate is not trusted"},
        {{"--cafile", server->file("srv.csr"), "MAIL.MBX", url},
         password,
         1,
         "cannot read the CA certificates in " + server->file("srv.csr")},
        {{"MAIL.MBX", "imaps://cy@localhost:" + std::to_string(server->tls_port)},
         password,
         1,
         "the server's certificate is not trusted"},
        {{"MAIL.MBX", "imaps://cy@127.0.0.2:" + std::to_string(server->tls_port)},
         password,
         1,
         "the server's certificate is not trusted"},
        {{"--cafile=", "MAIL.MBX", url}, password, 1, "the server's certificate is not trusted"},
        {{"--insecure-localhost", "MAIL.MBX", url},
         password,
         2,
         "--insecure-localhost is only for imap://USER@127.0.0.1"},
        {{"MAIL.MBX", "imaps://cy:" + password + "@127.0.0.1"},
         password,
         2,
         "a password never goes in the URL"},
        {{"--password-command", "exit 3", "MAIL.MBX", url},
         password,
         1,
         "no password from --password-command: the command ended with status 3"},
        {{"MAIL.MBX", "imaps://cy@127.0.0.1:" + std::to_string(free_port())},
         password,
         1,
         "cannot connect to 127.0.0.1 port"},
    };
    for (const auto& c : cases) {
        ChildResult r = run_imap(w, c.arguments, c.given_password);
        EXPECT_EQ(r.exit_status, c.status) << c.error;
        EXPECT_NE(r.errors.find(c.error), std::string::npos) << r.errors;
        EXPECT_EQ(r.output, "");
        EXPECT_EQ(r.errors.find(password), std::string::npos) << r.errors;
    }
    EXPECT_EQ(account(w, "cy", false), std::vector<std::string>());
}

// Listens on a port of its own and hands one connection to `serve`.
struct LoopbackListener {
    int fd = -1;
    unsigned port = 0;
    std::thread thread;

    void start(std::function<void(int)> serve)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd, 4);
        socklen_t length = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
        thread = std::thread([this, serve] {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 60000) != 1)
                return;
            int client = accept(fd, nullptr, nullptr);
            if (client >= 0) {
                serve(client);
                close(client);
            }
        });
    }
    ~LoopbackListener()
    {
        if (thread.joinable())
            thread.join();
        if (fd >= 0)
            close(fd);
    }
};

// A server of a few lines on a port of its own: it greets with `greeting`
// and answers each line it hears by what `answer` gives for it (nothing
// when empty); `heard` gets every line.
void scripted_server(LoopbackListener& fake, const std::string& greeting,
                     std::function<std::string(const std::string&)> answer,
                     std::vector<std::string>& heard)
{
    fake.start([greeting, answer, &heard](int client) {
        auto say = [client](const std::string& text) {
            (void)!write(client, text.data(), text.size());
        };
        say(greeting + "\r\n");
        std::string pending;
        char piece[4096];
        for (ssize_t n; (n = read(client, piece, sizeof piece)) > 0;) {
            pending.append(piece, static_cast<std::size_t>(n));
            for (std::size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
                heard.push_back(pending.substr(0, end));
                pending.erase(0, end + 2);
                std::string reply = answer(heard.back());
                if (!reply.empty())
                    say(reply + "\r\n");
            }
        }
    });
}

std::string tag_of(const std::string& line)
{
    return line.substr(0, line.find(' '));
}

TEST_F(Imap, NoCredentialGoesToAServerThatRefusesStartTls)
{
    Workspace w;
    make_mailbox(w, "MAIL", two_messages);
    std::vector<std::string> heard;
    LoopbackListener fake;
    scripted_server(
        fake, "* OK [CAPABILITY IMAP4rev1 STARTTLS LOGIN] ready",
        [](const std::string& line) {
            return tag_of(line) +
                   (line.find("STARTTLS") != std::string::npos ? " NO not today" : " BAD what");
        },
        heard);
    ChildResult r = run_imap(w, {"MAIL.MBX", "imap://dee@127.0.0.1:" + std::to_string(fake.port)});
    fake.thread.join();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.errors.find("refused STARTTLS: NO not today; without TLS no password is sent"),
              std::string::npos)
        << r.errors;
    for (const auto& line : heard)
        EXPECT_TRUE(line.find("LOGIN") == std::string::npos &&
                    line.find(password) == std::string::npos)
            << line;
}

// An OAuth 2 token from --oauth2-token-command goes by XOAUTH2, after the
// server's go-ahead where it takes no initial response; a refused token
// gets the empty reply that ends the exchange, and the server's NO is
// quoted with the token blotted out. (Plain IMAP to 127.0.0.1, which this server
// of a few lines speaks.)
TEST_F(Imap, AnOAuthTokenGoesByXoauth2)
{
    Workspace w;
    make_mailbox(w, "MAIL", two_messages);
    std::vector<std::string> heard;
    std::string login_tag;
    LoopbackListener fake;
    scripted_server(
        fake, "* OK [CAPABILITY IMAP4rev1 AUTH=XOAUTH2] ready",
        [&login_tag](const std::string& line) -> std::string {
            if (line.find(" AUTHENTICATE XOAUTH2") != std::string::npos) {
                login_tag = tag_of(line);
                return "+ ";
            }
            if (line.rfind("dXNl", 0) == 0)
                return "+ eyJzdGF0dXMiOiI0MDEifQ==";
            if (line.empty() && !login_tag.empty())
                return login_tag + " NO [AUTHENTICATIONFAILED] token tok-123 rejected";
            return tag_of(line) + " OK";
        },
        heard);
    ChildResult r = run_imap(w, {"--insecure-localhost", "--oauth2-token-command",
                                 target_is_windows() ? "echo tok-123" : "printf '%s\\n' tok-123",
                                 "MAIL.MBX", "imap://dee@127.0.0.1:" + std::to_string(fake.port)});
    fake.thread.join();
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.errors.find("refused the login by XOAUTH2: NO [AUTHENTICATIONFAILED] token "
                            "***** rejected"),
              std::string::npos)
        << r.errors;
    EXPECT_EQ(r.errors.find("tok-123"), std::string::npos) << r.errors;
    std::vector<std::string> exchange(heard.begin() + 1, heard.end());
    EXPECT_EQ(exchange, std::vector<std::string>({"dXNlcj1kZWUBYXV0aD1CZWFyZXIgdG9rLTEyMwEB", ""}));
}

// Each message of the account's folder MAIL once, in the mailbox's order.
void expect_each_once(const Workspace& w, const std::string& user,
                      const std::vector<std::string>& texts)
{
    std::vector<std::string> seen = account(w, user, false), ids;
    for (const auto& line : seen)
        ids.push_back(line.substr(line.rfind('|') + 1));
    std::vector<std::string> expected;
    for (const auto& text : texts)
        expected.push_back(message_id_of(text));
    EXPECT_EQ(ids.size(), expected.size());
    EXPECT_EQ(ids, expected);
}

// A connection cut at several points (by a proxy that drops it after so
// many bytes from the client), each time run again: every message ends up
// there once.
TEST_F(Imap, ADroppedConnectionIsSaidAndARunAgainCompletes)
{
    Workspace w;
    make_generated_mailbox(w, "MAIL", "300K");
    std::vector<std::string> texts = eml_texts(w, "MAIL.MBX");
    for (std::size_t cut : {1500u, 40000u, 120000u, 250000u}) {
        LoopbackListener proxy;
        proxy.start([cut](int client) {
            int upstream = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<std::uint16_t>(server->tls_port));
            if (connect(upstream, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
                return;
            std::size_t sent = 0;
            char piece[8192];
            for (bool open = true; open && sent < cut;) {
                pollfd p[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
                if (poll(p, 2, 30000) <= 0)
                    break;
                for (int k = 0; k < 2 && open; ++k) {
                    if (!(p[k].revents & (POLLIN | POLLHUP | POLLERR)))
                        continue;
                    ssize_t n = read(p[k].fd, piece,
                                     k == 0 ? std::min(sizeof piece, cut - sent) : sizeof piece);
                    if (n <= 0 || write(p[1 - k].fd, piece, static_cast<std::size_t>(n)) != n)
                        open = false;
                    else if (k == 0)
                        sent += static_cast<std::size_t>(n);
                }
            }
            close(upstream);
        });
        ChildResult r =
            run_imap(w, {"MAIL.MBX", "imaps://eve@127.0.0.1:" + std::to_string(proxy.port)});
        proxy.thread.join();
        EXPECT_EQ(r.exit_status, 1) << cut;
        EXPECT_NE(r.errors.find("the same command run again appends the rest"), std::string::npos)
            << r.errors;
    }
    ChildResult r = run_imap(w, {"MAIL.MBX", imaps("eve")});
    EXPECT_EQ(r.exit_status, 0) << r.errors;
    expect_each_once(w, "eve", texts);
}

// kill -9 at several points of a run, each time run again.
TEST_F(Imap, KilledRunsRunAgainLeaveEachMessageOnce)
{
    Workspace w;
    make_generated_mailbox(w, "MAIL", "2M");
    std::vector<std::string> texts = eml_texts(w, "MAIL.MBX");
    for (int delay_ms : {40, 250, 400}) {
        ChildOptions o =
            w.options({"imap", "--cafile", server->file("ca.pem"), "MAIL.MBX", imaps("fay")});
        o.binary = kestrel_mbx_binary();
        o.environment.push_back("KESTREL_IMAP_PASSWORD=" + password);
        ChildProcess child = start_child(o);
        usleep(static_cast<useconds_t>(delay_ms) * 1000);
        kill(child.pid, SIGKILL);
        finish_child(child);
        // The server may still be storing an APPEND that the killed run had
        // sent whole: a user's run again comes when it is done.
        server->wait_for_sessions_to_end();
    }
    ChildResult r = run_imap(w, {"MAIL.MBX", imaps("fay")});
    EXPECT_EQ(r.exit_status, 0) << r.errors;
    expect_each_once(w, "fay", texts);
}

// A message larger than the server takes is named; the others are appended
// around it and the status says something was left.
TEST_F(Imap, AMessageTheServerRefusesIsNamedAndTheRestGoOn)
{
    Workspace w;
    make_mailbox(
        w, "MAIL",
        two_messages +
            message("From:\tNODE3::KIM  2-JAN-2001 00:00:01.00",
                    {"Subj:\tbig", "", std::string(70000, 'b')}) +
            message("From:\tNODE3::KIM  3-JAN-2001 00:00:01.00", {"Subj:\tlast", "", "l"}));
    std::vector<std::string> texts = eml_texts(w, "MAIL.MBX");
    ChildResult r = run_imap(w, {"MAIL.MBX", imaps("gus")});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.errors.find("MAIL.MBX: message 3 (" + std::to_string(texts[2].size()) +
                            " bytes) not appended: the server 127.0.0.1 refused the APPEND: NO"),
              std::string::npos)
        << r.errors;
    EXPECT_EQ(r.output, "MAIL.MBX: 4 messages, 3 appended, 0 already there, 1 refused by the "
                        "server -> MAIL\n");
    expect_each_once(w, "gus", {texts[0], texts[1], texts[3]});
}

} // namespace
