#include "label/Label.h"

#include "label/Zpl.h"
#include "link/UniqueFd.h"
#include "text/Text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pello::label {

namespace {

constexpr size_t kLargestTemplate = 1024 * 1024;

// The placeholders and their values as the text rule shows them.
class CPlaceholders {
public:
    explicit CPlaceholders(const LabelValues& v)
        : m_values {{"{serial}", text::Show(v.serial)}, {"{field}", text::Show(v.field)},
                    {"{code}", text::Show(v.code)},     {"{batch}", text::Show(v.batch)},
                    {"{time}", text::Show(v.time)},     {"{station}", text::Show(v.station)},
                    {"{operator}", text::Show(v.operatorName)}}
    {
    }
    const std::string* At(const std::string& text, size_t at, size_t* length) const
    {
        for (const auto& [name, value] : m_values) {
            if (text.compare(at, name.size(), name) == 0) {
                *length = name.size();
                return &value;
            }
        }
        return nullptr;
    }
    PlaceholderAt Finder() const
    {
        return [this](const std::string& text, size_t at, size_t* length) { return At(text, at, length); };
    }

private:
    std::pair<std::string, std::string> m_values[7];
};

// Reads a template after looking at what it is: a FIFO, a device or a
// directory is never read. "" or why it cannot be used.
std::string ReadTemplate(const std::string& path, std::string* text)
{
    const std::string named = "the label template " + text::Show(path);
    CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0) {
        return "cannot read " + named + ": " + std::strerror(errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return named + " is not a regular file";
    }
    if (static_cast<unsigned long long>(st.st_size) > kLargestTemplate) {
        return named + " is larger than 1 MiB";
    }
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd.Get(), buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return "cannot read " + named + ": " + std::strerror(errno);
        text->append(buffer, static_cast<size_t>(n));
        if (text->size() > kLargestTemplate) return named + " is larger than 1 MiB"; // it grew
    }
    return text->empty() ? named + " is empty" : std::string();
}

} // namespace

FilledLabel FillLabel(const std::string& templateText, const LabelValues& values)
{
    const CPlaceholders placeholders(values);
    FilledLabel filled;
    if (IsZpl(templateText)) {
        filled.bytes = FillZpl(templateText, placeholders.Finder(), &filled.problem);
        return filled;
    }
    for (size_t i = 0; i < templateText.size();) {
        size_t length = 0;
        if (const std::string* value = placeholders.At(templateText, i, &length)) {
            filled.bytes += *value;
            i += length;
        } else {
            filled.bytes += templateText[i++];
        }
    }
    return filled;
}

CLabelPrinter::CLabelPrinter(const std::string& templatePath, std::string printer) : m_printer(std::move(printer))
{
    m_problem = ReadTemplate(templatePath, &m_template);
    if (m_problem.empty() && IsZpl(m_template)) {
        const CPlaceholders any({});
        m_problem = ZplTemplateProblem(m_template, any.Finder());
    }
    if (m_problem.empty()) {
        m_problem = CheckPrinter(m_printer);
    }
}

std::string CLabelPrinter::Print(const LabelValues& values) const
{
    if (!m_problem.empty()) {
        return m_problem;
    }
    const FilledLabel label = FillLabel(m_template, values);
    return label.problem.empty() ? SendToPrinter(m_printer, label.bytes) : label.problem;
}

} // namespace pello::label
