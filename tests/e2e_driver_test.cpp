// The program as its users meet it: the usage screen and the version, the
// argument checks, and the list run over redirected standard input.
#include "tests/e2e_helpers.hpp"

using namespace e2e;
using namespace std::string_literals;

namespace {

const std::string user_missing =
    "\nMust set the KESTREL_VAX_USERNAME environment variable with your VAX username.\n"
    "Use what appears in the 'From: ' line in your mail messages (case is important).\n";
const std::string too_many = "\nToo many parameters\n\n"
                             "For help - run the program without parameters\n";
const std::string too_many_redirected = "\nToo many parameters with input redirection\n\n"
                                        "For help - run the program without parameters\n";
const std::vector<std::string> no_user = {"TZ=UTC"};

TEST(EndToEndDriver, UsageScreenIsTheSameWhateverTheRunAround)
{
    std::optional<std::string> reference;
    for (std::vector<std::string> arguments :
         {std::vector<std::string>{}, {"/?"}, {"-?"}, {"--help"}})
        for (const auto& environment : {standard_environment, no_user})
            for (const auto& list : {std::optional<std::string>{}, {"MAIL.TXT\n"}}) {
                SCOPED_TRACE(testing::Message()
                             << arguments.size() << " arguments, " << environment.size()
                             << " variables, " << (list ? "redirected" : "interactive"));
                Workspace w;
                ChildResult result = w.run(arguments, list, environment);
                if (!reference)
                    reference = result.output;
                expect_run(w, result, 0, *reference);
            }
    const std::string& text = *reference;
    EXPECT_EQ(text.rfind("\n\tKESTREL v1.2 (32 bit), 14th August 1997\n\n\nThis program", 0), 0u);
    EXPECT_NE(text.find("variables:\n"
                        "\n  KESTREL_TZ \t\te.g. > set KESTREL_TZ=+0500"
                        "\n  KESTREL_DST \t\te.g. > set KESTREL_DST=+0600"
                        "\n  KESTREL_DST_MTHS   \te.g. > set KESTREL_DST_MTHS=Oct Nov Dec Jan "
                        "Feb Mar Apr\n\n\nThe program can be run"),
              std::string::npos);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.back(), '\n');
    std::size_t last_line = text.rfind('\n', text.size() - 2) + 1;
    EXPECT_EQ(text.compare(last_line, 8, "E-mail: "), 0) << text.substr(last_line);
}

struct DriverCase {
    const char* name;
    std::vector<std::string> arguments;
    std::optional<std::string> list; // redirected standard input
    int status;
    std::string output;
    std::vector<std::string> environment = standard_environment;
};

// The progress line of a list-run folder that converts, into ".".
std::string listed(const std::string& base)
{
    return "Processing " + base + ".TXT -> file ." + sep + base + ".MBX created\n";
}

const std::string x511(511, 'x');
// A name of 511 characters that names A.TXT.
std::string dots(std::size_t n)
{
    std::string s;
    while (n-- > 0)
        s += "./";
    return s;
}
const std::string path511 = dots(253) + "A.TXT";
const std::string listed511 = "Processing " + path511 + " -> file ." + sep + "A.MBX created\n";
const std::string too_long = "Cannot open file: name longer than 511 characters\n";
const std::string one_folder = "\nProcessing MAIL.TXT -> file MAIL.MBX created\n";

const std::string version = "KESTREL 1.2\n";

const DriverCase driver_cases[] = {
    {"Version", {"--version"}, {}, 0, version, no_user},
    {"VersionRedirected", {"--version"}, "A.TXT\n", 0, version},
    {"VersionWithOneMoreIsAFolderName",
     {"--version", "."},
     {},
     1,
     "\nProcessing --version -> Cannot open file --version\n"},
    {"LongHelpWithOneMoreIsAFolderName",
     {"--help", "."},
     {},
     1,
     "\nProcessing --help -> Cannot open file --help\n"},
    {"NoUserOneFolder", {"MAIL.TXT"}, {}, 1, user_missing, no_user},
    {"NoUserBeforeTooMany", {"a", "b", "c"}, {}, 1, user_missing, no_user},
    {"NoUserBeforeTooManyRedirected", {"a", "b"}, "A.TXT\n", 1, user_missing, no_user},
    {"NoUserListRun", {"."}, "A.TXT\n", 1, user_missing, no_user},
    {"ThreeArguments", {"a", "b", "c"}, {}, 1, too_many},
    {"HelpWithTwoMore", {"/?", "b", "c"}, {}, 1, too_many},
    {"TwoArgumentsRedirected", {"a", "b"}, "A.TXT\n", 1, too_many_redirected},
    {"HelpWithOneMoreRedirected", {"/?", "."}, "A.TXT\n", 1, too_many_redirected},
    {"HelpWithOneMoreIsAFolderName",
     {"/?", "."},
     {},
     1,
     "\nProcessing /? -> Cannot open file /?\n"},
    {"NullDeviceIsInteractive", {"MAIL.TXT"}, {}, 0, one_folder},
    {"VariableNameCaseIgnored",
     {"MAIL.TXT"},
     {},
     0,
     one_folder,
     {"TZ=UTC", "kestrel_vax_username=SMITH"}},
    {"ListCrLfLastLineWithoutNewline",
     {"."},
     "A.TXT\r\nB.TXT",
     0,
     "\n" + listed("A") + listed("B")},
    {"ListEndsAtCtrlZ",
     {"."},
     "A.TXT\n\x1A"
     "B.TXT\n",
     0,
     "\n" + listed("A")},
    {"ListNulIgnored", {"."}, "MA\0IL.TXT\n\0B.TXT\n"s, 0, "\n" + listed("MAIL") + listed("B")},
    {"ListEmptyLineCounted",
     {"."},
     "\nA.TXT\n",
     0,
     "\nProcessing  -> Cannot open file: empty name\n" + listed("A")},
    // An empty name, as a script's unset variable gives, names nothing.
    {"EmptyFolderName", {""}, {}, 1, "\nProcessing  -> Cannot open file: empty name\n"},
    {"EmptyDirectoryName",
     {"MAIL.TXT", ""},
     {},
     1,
     "\nProcessing MAIL.TXT -> Empty directory name\n"},
    {"ListEmptyDirectoryName", {""}, "A.TXT\n", 1, "\nEmpty directory name\n"},
    {"ListEmpty", {"."}, "", 1, "\nNo redirection files\n"},
    {"ListOnlyCtrlZ",
     {"."},
     "\x1A"
     "A.TXT\n",
     1,
     "\nNo redirection files\n"},
    {"ListEveryFolderFails",
     {"."},
     "NOPE1\nNOPE2",
     0,
     "\nProcessing NOPE1 -> Cannot open file NOPE1\nProcessing NOPE2 -> Cannot open file NOPE2\n"},
    {"ListDirectoryMissing", {"nowhere"}, "A.TXT\n", 1, "\nnowhere : No such directory\n"},
    // A line of 511 characters fits; a longer one is one folder that is
    // too long, and the rest of it names nothing.
    {"ListLineOf511Characters",
     {"."},
     path511 + "\n" + path511 + "\r\nB.TXT\n" + x511,
     0,
     "\nProcessing " + path511 + " -> file ." + sep + "A.MBX created\nProcessing " + path511 +
         " -> file ." + sep + "A.MB_ created\n" + listed("B") + "Processing " + x511 +
         " -> Cannot open file " + x511 + "\n"},
    {"ListLineLongerThan511IsOneFolder",
     {"."},
     x511 + "A.TXT\nB.TXT\n" + x511 + "\r\ryy\n" + x511 + "A.TXT\x1A",
     0,
     "\nProcessing " + x511 + " -> " + too_long + listed("B") + "Processing " + x511 + " -> " +
         too_long + "Processing " + x511 + " -> " + too_long},
};

class EndToEndDriverTable : public testing::TestWithParam<DriverCase> {};

TEST_P(EndToEndDriverTable, PrintsExactlyAndLeavesOnlyItsMailboxes)
{
    const DriverCase& c = GetParam();
    Workspace w;
    for (const char* name : {"A.TXT", "B.TXT", "MAIL.TXT"})
        w.put(name, simple_folder);
    expect_run(w, w.run(c.arguments, c.list, c.environment), c.status, c.output);
}

void PrintTo(const DriverCase& c, std::ostream* os)
{
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEndDriverTable, testing::ValuesIn(driver_cases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
