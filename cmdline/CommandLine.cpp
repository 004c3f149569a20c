#include "cmdline/CommandLine.h"

#include "cmdline/Version.h"
#include "text/Text.h"

#include <cstdio>
#include <sstream>

namespace pello {

const CLI::Validator kNonEmpty(
    [](std::string& value) { return value.empty() ? std::string("must not be empty") : std::string(); }, "", "");
const CLI::Validator kDecimal(
    [](std::string& value) {
        const bool digits = !value.empty() && value.size() <= 18 && value.find_first_not_of("0123456789") == std::string::npos;
        return digits ? std::string() : value + " is not a whole number";
    },
    "", "");
const CLI::Validator kName([](std::string& value) { return text::NameProblem(value); }, "", "");

namespace {

// The extra argument that comes first on the command line (CLI11 lists them
// in no particular order).
std::string FirstExtra(const std::string& list, int argc, char** argv)
{
    std::istringstream tokens(list);
    std::string token, first;
    int firstAt = argc;
    while (tokens >> token) {
        for (int i = 1; i < firstAt; ++i) {
            if (token == argv[i]) {
                firstAt = i;
                first = token;
            }
        }
    }
    return first.empty() ? list.substr(0, list.find(' ')) : first;
}

std::string DescribeParseError(const CLI::ParseError& e, const CLI::App& app, int argc, char** argv)
{
    const std::string what = e.what();
    for (const std::string lead :
         {"The following argument was not expected: ", "The following arguments were not expected: "}) {
        if (what.rfind(lead, 0) == 0) {
            const std::string token = FirstExtra(what.substr(lead.size()), argc, argv);
            if (token.rfind("-", 0) == 0) return "unrecognised option '" + token + "'";
            if (!app.get_subcommands({}).empty() && app.get_subcommands().empty()) {
                return "unknown command '" + token + "'";
            }
            return "unexpected argument '" + token + "'";
        }
    }
    if (e.get_name() == "ArgumentMismatch" && what.find(" required ") != std::string::npos) {
        return "option '" + what.substr(0, what.find(':')) + "' needs a value";
    }
    return what;
}

} // namespace

void ReportUsageError(const std::string& program, const std::string& message)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.c_str(),
                 text::Show(message).c_str(), program.c_str());
}

std::string VersionLine(const std::string& program) { return program + " " + version::kFileVersion; }

std::optional<int> ParseCommandLine(CLI::App& app, int argc, char** argv)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e); // --help, --version
    } catch (const CLI::ParseError& e) {
        ReportUsageError(app.get_name(), DescribeParseError(e, app, argc, argv));
        return 1;
    }
    return std::nullopt;
}

} // namespace pello
