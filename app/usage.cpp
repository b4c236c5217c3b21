#include "app/usage.hpp"

#include "app/settings.hpp"
#include "app/standard_streams.hpp"

#include <cstdio>

namespace {

constexpr const char* program_name = "KESTREL";
// The project's version, given by the build (CMakeLists.txt).
constexpr const char* program_version = KESTREL_VERSION;

} // namespace

void print_usage()
{
    const char* user = user_name_variable;
    print_text(stdout, "\n\t%s v%s (%s), %s\n\n", program_name, program_version, "32 bit",
               "14th August 1997");
    print_text(stdout,
               "\nThis program converts VAX mail folder files which have been created by using\n");
    print_text(stdout, "the VAX mail commands:\n\n");
    print_text(stdout, "  MAIL> SELECT {folder}\n");
    print_text(stdout, "  MAIL> EXTRACT/ALL {filename}\n\n\n");
    print_text(stdout, "Before running the program you must set up the %s\n", user);
    print_text(stdout,
               "environment variable with your VAX username (use correct case - see note 1)\n");
    print_text(stdout, "  e.g. > set %s={VAX username}\n\n", user);
    print_text(stdout,
               "The default program timezone is +0000 and Daylight Saving Time (DST) is +0100\n");
    print_text(stdout,
               "with the DST months assumed to be April through to October. You can get the\n");
    print_text(stdout,
               "program to use your timezone, DST and DST months by setting the environment\n");
    print_text(stdout, "variables:\n");
    print_text(stdout, "\n  %s \t\te.g. > set %s=+0500", zone_variable, zone_variable);
    print_text(stdout, "\n  %s \t\te.g. > set %s=+0600", dst_zone_variable, dst_zone_variable);
    print_text(stdout, "\n  %s   \te.g. > set %s=Oct Nov Dec Jan Feb Mar Apr\n\n\n",
               dst_months_variable, dst_months_variable);
    print_text(stdout, "The program can be run with the following parameters:\n\n");
    print_text(stdout, "%s {VMS mail folder filename} [{directory name}]\n\n", program_name);
    print_text(stdout, "%s [{directory name}] < {filename}\n", program_name);
    print_text(stdout,
               "   This is input redirection (you can create a file with a list of all the\n");
    print_text(stdout,
               "   VMS mail files by using the DOS command: DIR/B *.{ext} > {filename}\n\n");
    print_text(stdout, "Notes:\n");
    print_text(stdout, "1. The correct case must be used for the VAX username when setting the\n");
    print_text(stdout, "   %s environment variable (i.e. use what appears in the\n", user);
    print_text(stdout, "   'From: ' line in the VAX mail messages that you have sent).\n");
    print_text(stdout,
               "2. It is best to move into the directory with the VAX mail folder files before\n");
    print_text(stdout,
               "   issuing the DIR command to create the file for redirection or for running\n");
    print_text(stdout, "   the %s program.\n", program_name);
    print_text(stdout,
               "3. If the directory parameter is not given, the output file is created in the\n");
    print_text(stdout, "   current directory.\n");
    print_text(stdout,
               "4. The output file is created with the extension .MBX or .MB_ depending on\n");
    print_text(stdout,
               "   whether a file of that name already exists. If both files exist, no file is\n");
    print_text(stdout, "   created.\n");
    print_text(stdout,
               "5. The program uses the date found at the end of the From: line, the 1st line\n");
    print_text(stdout,
               "   in the mail message. The date is checked and if a problem is found the\n");
    print_text(stdout,
               "   program stops processing the mail file and outputs an error message, the\n");
    print_text(stdout,
               "   line number, and displays the problem line. No output file is created.\n\n");
    print_text(stdout,
               "   If there is a problem with the date, edit the mail file and correct it.\n");
    print_text(stdout, "   There are 2 formats for this date. It can be either:\n\n");
    print_text(stdout, "    4-MAR-1996 13:58:04.09\n\n");
    print_text(stdout, "   or\n\n");
    print_text(stdout, "   17-SEP-1996 07:05:23.33\n\n");
    print_text(stdout, "   Also, no trailing whitespace characters are allowed.\n\n\n");
    print_text(stdout, "Written by the KESTREL developers\n");
    print_text(stdout, "E-mail: kestrel-developers@example.org\n");
    std::fflush(stdout);
}

void print_version()
{
    print_text(stdout, "%s %s\n", program_name, program_version);
    std::fflush(stdout);
}
