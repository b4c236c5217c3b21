#include "app/usage.hpp"

#include "app/settings.hpp"

#include <cstdio>

namespace {

constexpr const char* program_name = "KESTREL";
// The project's version, given by the build (CMakeLists.txt).
constexpr const char* program_version = KESTREL_VERSION;

} // namespace

void print_usage()
{
    const char* user = user_name_variable;
    std::printf("\n\t%s v%s (%s), %s\n\n", program_name, program_version, "32 bit",
                "14th August 1997");
    std::printf("\nThis program converts VAX mail folder files which have been created by using\n");
    std::printf("the VAX mail commands:\n\n");
    std::printf("  MAIL> SELECT {folder}\n");
    std::printf("  MAIL> EXTRACT/ALL {filename}\n\n\n");
    std::printf("Before running the program you must set up the %s\n", user);
    std::printf("environment variable with your VAX username (use correct case - see note 1)\n");
    std::printf("  e.g. > set %s={VAX username}\n\n", user);
    std::printf("The default program timezone is +0000 and Daylight Saving Time (DST) is +0100\n");
    std::printf("with the DST months assumed to be April through to October. You can get the\n");
    std::printf("program to use your timezone, DST and DST months by setting the environment\n");
    std::printf("variables:\n");
    std::printf("\n  %s \t\te.g. > set %s=+0500", zone_variable, zone_variable);
    std::printf("\n  %s \t\te.g. > set %s=+0600", dst_zone_variable, dst_zone_variable);
    std::printf("\n  %s   \te.g. > set %s=Oct Nov Dec Jan Feb Mar Apr\n\n\n", dst_months_variable,
                dst_months_variable);
    std::printf("The program can be run with the following parameters:\n\n");
    std::printf("%s {VMS mail folder filename} [{directory name}]\n\n", program_name);
    std::printf("%s [{directory name}] < {filename}\n", program_name);
    std::printf("   This is input redirection (you can create a file with a list of all the\n");
    std::printf("   VMS mail files by using the DOS command: DIR/B *.{ext} > {filename}\n\n");
    std::printf("Notes:\n");
    std::printf("1. The correct case must be used for the VAX username when setting the\n");
    std::printf("   %s environment variable (i.e. use what appears in the\n", user);
    std::printf("   'From: ' line in the VAX mail messages that you have sent).\n");
    std::printf("2. It is best to move into the directory with the VAX mail folder files before\n");
    std::printf("   issuing the DIR command to create the file for redirection or for running\n");
    std::printf("   the %s program.\n", program_name);
    std::printf("3. If the directory parameter is not given, the output file is created in the\n");
    std::printf("   current directory.\n");
    std::printf("4. The output file is created with the extension .MBX or .MB_ depending on\n");
    std::printf("   whether a file of that name already exists. If both files exist, no file is\n");
    std::printf("   created.\n");
    std::printf("5. The program uses the date found at the end of the From: line, the 1st line\n");
    std::printf("   in the mail message. The date is checked and if a problem is found the\n");
    std::printf("   program stops processing the mail file and outputs an error message, the\n");
    std::printf("   line number, and displays the problem line. No output file is created.\n\n");
    std::printf("   If there is a problem with the date, edit the mail file and correct it.\n");
    std::printf("   There are 2 formats for this date. It can be either:\n\n");
    std::printf("    4-MAR-1996 13:58:04.09\n\n");
    std::printf("   or\n\n");
    std::printf("   17-SEP-1996 07:05:23.33\n\n");
    std::printf("   Also, no trailing whitespace characters are allowed.\n\n\n");
    std::printf("Written by the KESTREL developers\n");
    std::printf("E-mail: kestrel-developers@example.org\n");
    std::fflush(stdout);
}

void print_version()
{
    std::printf("%s %s\n", program_name, program_version);
    std::fflush(stdout);
}
