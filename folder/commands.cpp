// The commands of kestrel-folder, the companion on the input side: check
// finds in one pass every line of a folder that would stop its conversion,
// repair writes a copy of a folder with the dates mended that a VAX wrote
// in older forms.
#include "folder/commands.hpp"

#include "app/standard_streams.hpp"
#include "convert/interrupt.hpp"
#include "convert/vax_date.hpp"
#include "folder/folder_repair.hpp"
#include "folder/problem_report.hpp"
#include "folder/setting_warnings.hpp"
#include "mbx/complaint.hpp"

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr const char* program = "kestrel-folder";

constexpr const char* usage_text =
    "usage: kestrel-folder check FOLDER...\n"
    "       kestrel-folder repair FOLDER OUTPUT\n"
    "       kestrel-folder --help | --version\n"
    "\n"
    "Reads VAX MAIL folder files as kestrel reads them.\n"
    "  check   prints every line that would stop the conversion of a folder,\n"
    "          as \"FOLDER:LINE: what is wrong\", then one summary line per\n"
    "          folder: its messages, yours, the sending dates, and \"ok\" or\n"
    "          the number of problems and how many of them repair mends\n"
    "  repair  writes a copy of FOLDER to OUTPUT, which must not exist yet,\n"
    "          with every date that can be mended mended (the old form\n"
    "          without seconds, blanks or tabs after the date, a day with a\n"
    "          leading zero, a month in small letters), and prints each change\n"
    "\n"
    "The settings are those of kestrel: KESTREL_VAX_USERNAME, KESTREL_TZ,\n"
    "KESTREL_DST and KESTREL_DST_MTHS; a warning says where they will make\n"
    "headers you may not expect, and check tells from the messages that came\n"
    "through a mail gateway whether the zones give their true times.\n"
    "\n"
    "Exit status: 0 when every folder (or the copy) would convert, 1 when\n"
    "one would not or a file cannot be read or written, 2 on bad usage.\n";

std::int32_t local_year()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local.tm_year + 1900;
}

const char* checked_folder = nullptr;

int print_problem_found(std::int64_t line_number, const FromLine&, const DateDiagnosis& diagnosis)
{
    print_problem(checked_folder, line_number, diagnosis);
    return 0;
}

// Each argument stands for the folders it names, wildcards expanded where
// the shell does not.
int check_command(int count, char** arguments, bool count_own)
{
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i)
        for (auto& name : names_of_argument(arguments[i]))
            paths.push_back(std::move(name));
    int status = 0;
    // The settings are the same for every folder: their messages are
    // counted together.
    static ZoneEvidence evidence;
    for (const auto& path : paths) {
        checked_folder = path.c_str();
        FolderSummary summary;
        if (scan_folder(checked_folder, summary, print_problem_found, &evidence)) {
            status = 1;
            continue;
        }
        if (summary.no_message)
            print_no_message(checked_folder);
        print_summary(checked_folder, summary, count_own);
        if (summary.problems > 0)
            status = 1;
    }
    warn_about_zones(evidence);
    return status;
}

int repair_command(const char* folder, const char* output, bool count_own)
{
    send_interrupt_notice_to_standard_error();
    install_interrupt_handlers();
    FolderSummary summary;
    if (repair_folder(folder, output, summary))
        return 1;
    if (summary.no_message)
        print_no_message(folder);
    print_summary(output, summary, count_own);
    return summary.problems > 0 ? 1 : 0;
}

} // namespace

int run_kestrel_folder(int argc, char** argv)
{
    set_companion(program, usage_text);
    if (answered_help_or_version(argc == 2 ? argv[1] : nullptr))
        return 0;
    if (argc < 2)
        return bad_usage("no command given");
    const std::string command = argv[1];
    int rest = argc - 2;
    if (command != "check" && command != "repair")
        return bad_usage("unknown command: " + command);
    if ((command == "check" && rest < 1) || (command == "repair" && rest != 2))
        return bad_usage("wrong number of arguments for " + command);
    int status = 0;
    for (int i = 2; i < argc; ++i)
        if (refused_empty(argv[i], command == "repair" && i == 3 ? "output" : "folder", status))
            return status;
    bool count_own = load_and_warn_about_settings();
    current_year = local_year();
    if (command == "check")
        return check_command(rest, argv + 2, count_own);
    return repair_command(argv[2], argv[3], count_own);
}
