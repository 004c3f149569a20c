#include "sim/DeviceModel.h"

#include "protocol/FrameCrc.h"

#include <cctype>
#include <cstring>
#include <string>

namespace pello {

std::string MakeReply(const std::string& text)
{
    const uint16_t crc = CalcFrameCrc(reinterpret_cast<const uint8_t*>(text.data()),
                                      static_cast<uint8_t>(text.size() > 255 ? 255 : text.size()));
    std::string reply = text;
    reply += static_cast<char>(crc >> 8);
    reply += static_cast<char>(crc & 0xFF);
    reply += '\r';
    return reply;
}

size_t FrameBytesInReport(const uint8_t* payload, size_t size)
{
    const void* cr = std::memchr(payload, 0x0D, size);
    return cr != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(cr) - payload) + 1 : size;
}

std::vector<std::string> ReplyReportPayloads(const std::string& reply)
{
    std::vector<std::string> payloads;
    for (size_t i = 0; i < reply.size(); i += device::kReportPayloadBytes) {
        std::string payload = reply.substr(i, device::kReportPayloadBytes);
        payload.resize(device::kReportPayloadBytes, '\0');
        payloads.push_back(std::move(payload));
    }
    return payloads;
}

std::string CommandOf(const std::string& body)
{
    if (body == "QSID" || body == "ATE1" || body == "QBOOT") {
        return body;
    }
    if (body.size() == 3 + 22 && body.compare(0, 3, "SID") == 0) {
        return "SID";
    }
    if (body.size() == 4 + 12 && body.compare(0, 4, "PABC") == 0) {
        return "PABC";
    }
    return {};
}

std::optional<std::string> UnescapeReplyText(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
            continue;
        }
        if (i + 3 < text.size() && text[i + 1] == 'x' && std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
            continue;
        }
        return std::nullopt;
    }
    return out;
}

namespace {

bool ValidBehaviour(const std::string& b)
{
    if (b == "normal" || b == "ack" || b == "nak" || b == "storenak" || b == "silent" || b == "badcrc" ||
        b == "boot") {
        return true;
    }
    if (b.compare(0, 4, "raw:") == 0) {
        return UnescapeReplyText(b.substr(4)).has_value();
    }
    if (b.compare(0, 5, "late:") == 0) {
        const std::string ms = b.substr(5);
        return !ms.empty() && ms.size() <= 6 && ms.find_first_not_of("0123456789") == std::string::npos;
    }
    return b.compare(0, 6, "reply:") == 0 && UnescapeReplyText(b.substr(6)).has_value();
}

} // namespace

CDeviceModel::CDeviceModel() = default;

bool CDeviceModel::AddFaults(const std::string& rule)
{
    const size_t eq = rule.find('=');
    if (eq == std::string::npos || eq == 0) {
        return false;
    }
    const std::string command = rule.substr(0, eq);
    if (command != "QSID" && command != "ATE1" && command != "SID" && command != "PABC" && command != "QBOOT") {
        return false;
    }
    std::deque<std::string> list;
    size_t pos = eq + 1;
    for (;;) {
        const size_t comma = rule.find(',', pos);
        std::string item = rule.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        // reply:TEXT may itself hold commas only as \x2c.
        if (!ValidBehaviour(item)) {
            return false;
        }
        list.push_back(std::move(item));
        if (comma == std::string::npos) {
            break;
        }
        pos = comma + 1;
    }
    auto& queue = m_faults[command];
    queue.insert(queue.end(), list.begin(), list.end());
    return true;
}

void CDeviceModel::SetChaos(int percent, uint64_t seed)
{
    m_chaosPercent = percent;
    m_chaos.seed(seed);
}

void CDeviceModel::AnswerWithChaos(const std::string& frame, std::vector<DeviceReply>* replies)
{
    const bool misbehave = std::uniform_int_distribution<int>(0, 99)(m_chaos) < m_chaosPercent;
    const int how = misbehave ? std::uniform_int_distribution<int>(0, 4)(m_chaos) : -1;
    if (how == 0) {
        replies->push_back({MakeReply("(NAK"), 0}); // refused: not acted on
        return;
    }
    std::optional<std::string> reply = HandleFrame(frame);
    if (!reply || how == 1) {
        return; // acted on, the answer lost
    }
    if (how == 2) {
        (*reply)[reply->size() - 2] ^= 0x01;
    }
    const int delay = how == 3 ? std::uniform_int_distribution<int>(500, 4000)(m_chaos) : m_nLastDelayMs;
    replies->push_back({*reply, delay});
    if (how == 4) {
        replies->push_back({*reply, 0});
    }
}

std::vector<DeviceReply> CDeviceModel::Feed(const uint8_t* data, size_t length)
{
    std::vector<DeviceReply> replies;
    for (size_t i = 0; i < length; ++i) {
        m_pending += static_cast<char>(data[i]);
        if (data[i] == '\r') {
            std::string frame;
            frame.swap(m_pending);
            AnswerWithChaos(frame, &replies);
        } else if (m_pending.size() > kMaxFrameLength) {
            m_pending.clear();
        }
    }
    return replies;
}

std::string CDeviceModel::NormalAnswer(const std::string& command, const std::string& body)
{
    if (command == "QSID") {
        return MakeReply("(" + m_sid);
    }
    if (command == "SID") {
        m_sid = body.substr(3);
        m_bChanged = true;
    } else if (command == "PABC") {
        m_pabc = body.substr(4);
        m_bChanged = true;
    } else if (command == "QBOOT") {
        return MakeReply("(1");
    }
    return MakeReply("(ACK");
}

std::string CDeviceModel::ApplyFault(const std::string& behaviour, const std::string& normal, bool* silent)
{
    if (behaviour == "ack") {
        return MakeReply("(ACK");
    }
    if (behaviour == "nak" || behaviour == "storenak") {
        return MakeReply("(NAK");
    }
    if (behaviour == "boot") {
        return MakeReply("(1");
    }
    if (behaviour == "silent") {
        *silent = true;
        return {};
    }
    if (behaviour == "badcrc") {
        std::string bad = normal;
        bad[bad.size() - 2] = static_cast<char>(bad[bad.size() - 2] ^ 0x01);
        return bad;
    }
    if (behaviour.compare(0, 4, "raw:") == 0) {
        return *UnescapeReplyText(behaviour.substr(4)); // exactly these bytes, nothing added
    }
    return MakeReply(*UnescapeReplyText(behaviour.substr(6)));
}

std::optional<std::string> CDeviceModel::HandleFrame(const std::string& frame)
{
    std::optional<std::string> reply = Answer(frame);
    if (reply && reply->compare(0, 2, "(1") == 0 && frame.compare(0, 5, "QBOOT") == 0) {
        m_bBooted = true;
        m_bootedSid = m_sid;
        m_bootedPabc = m_pabc;
    }
    return reply;
}

std::optional<std::string> CDeviceModel::Answer(const std::string& frame)
{
    m_nLastDelayMs = 0;
    if (m_bRecordFrames) {
        m_frames.push_back(frame);
    }
    if (frame.size() < 4) {
        return MakeReply("(NAK");
    }
    const std::string body = frame.substr(0, frame.size() - 3);
    const uint16_t crc = CalcFrameCrc(reinterpret_cast<const uint8_t*>(body.data()),
                                      static_cast<uint8_t>(body.size()));
    const bool crcOk = static_cast<uint8_t>(frame[frame.size() - 3]) == (crc >> 8) &&
                       static_cast<uint8_t>(frame[frame.size() - 2]) == (crc & 0xFF);
    const std::string command = crcOk ? CommandOf(body) : std::string();
    if (command.empty()) {
        return MakeReply("(NAK");
    }
    auto& queue = m_faults[command];
    if (queue.empty()) {
        return NormalAnswer(command, body);
    }
    const std::string behaviour = queue.front();
    queue.pop_front();
    if (behaviour == "normal") {
        return NormalAnswer(command, body);
    }
    if (behaviour.compare(0, 5, "late:") == 0) {
        m_nLastDelayMs = std::stoi(behaviour.substr(5));
        return NormalAnswer(command, body);
    }
    // badcrc and storenak change only the reply; the device still acts on the frame.
    const bool acts = behaviour == "badcrc" || behaviour == "storenak";
    const std::string normal = acts ? NormalAnswer(command, body) : std::string();
    bool silent = false;
    std::string reply = ApplyFault(behaviour, normal, &silent);
    if (silent) {
        return std::nullopt;
    }
    return reply;
}

} // namespace pello
