#include "folder/problem_report.hpp"

#include "app/standard_streams.hpp"

#include <cstdio>

namespace {

const char* plural(std::int64_t count)
{
    return count == 1 ? "" : "s";
}

void print_date(std::int32_t date)
{
    print_text(stdout, "%04d-%02d-%02d", date / 10000, date / 100 % 100, date % 100);
}

} // namespace

void print_problem(const char* folder, std::int64_t line_number, const DateDiagnosis& diagnosis)
{
    print_text(stdout, "%s:%lld: %s\n", folder, static_cast<long long>(line_number),
               diagnosis.what);
}

void print_mend(const char* folder, std::int64_t line_number, const FromLine& line,
                const DateDiagnosis& diagnosis)
{
    print_text(stdout, "%s:%lld: \"%s\" -> ", folder, static_cast<long long>(line_number),
               shown_text(line.tail + line.tail_length - diagnosis.replaced, diagnosis.replaced));
    print_text(stdout, "\"%s\"\n", shown_text(diagnosis.mended, diagnosis.mended_length));
}

void print_no_message(const char* folder)
{
    print_text(stdout,
               "%s: no message in the file (no form-feed line followed by a \"From:\" line "
               "with a TAB); repair cannot mend it\n",
               folder);
}

void print_summary(const char* folder, const FolderSummary& summary, bool count_own)
{
    print_text(stdout, "%s: %lld message%s", folder, static_cast<long long>(summary.messages),
               plural(summary.messages));
    if (count_own)
        print_text(stdout, " (%lld yours)", static_cast<long long>(summary.own));
    if (summary.first_sent != 0) {
        print_text(stdout, ", sent ");
        print_date(summary.first_sent);
        print_text(stdout, " to ");
        print_date(summary.last_sent);
    }
    if (summary.problems == 0)
        print_text(stdout, ", ok\n");
    else
        print_text(stdout, ", %lld problem%s (%lld repairable)\n",
                   static_cast<long long>(summary.problems), plural(summary.problems),
                   static_cast<long long>(summary.repairable));
}
