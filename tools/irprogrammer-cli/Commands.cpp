#include "Commands.h"

#include "DeviceLink.h"
#include "DeviceProtocol.h"
#include "Interrupt.h"
#include "Output.h"
#include "ProductionRecord.h"
#include "TransmitterCode.h"
#include "vxcomm.h"
#include "vxcommbox_hints.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <vector>

namespace ircli {

namespace {

std::array<std::string, 3> CodesOf(const std::array<ButtonFields, 3>& buttons, int relay)
{
    std::array<std::string, 3> codes;
    for (size_t b = 0; b < buttons.size(); ++b)
        codes[b] = MakeButtonCode(std::to_string(buttons[b].side), std::to_string(buttons[b].id), int(b) + 1, relay);
    return codes;
}

bool SameDigits(std::string_view a, std::string_view b)
{
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Two characters of a reply as they can be shown: a damaged line may bring anything.
std::string Shown(std::string_view digits)
{
    std::string out;
    for (unsigned char c : digits) {
        if (c >= 0x21 && c < 0x7F) {
            out += char(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// The reply's codes are printed whole, but only their first eight digits
// were checked when it was taken: the last two may be damaged too.
void CheckCodes(const std::string& port, const std::string& reply)
{
    for (int button = 1; button <= 3; ++button) {
        const std::string_view code = ReplyCode(reply, button);
        if (!std::all_of(code.begin(), code.end(), IsHexDigit))
            throw Failure{NotVerified, port + ": the reply is damaged: the code of P" + std::to_string(button) +
                                           " reads " + Shown(code)};
    }
}

// Reads the device back and compares all 48 digits with the image written.
void Verify(DeviceLink& link, const std::string& image, int timeoutMs)
{
    const std::optional<std::string> reply = link.Read(timeoutMs);
    if (!reply)
        throw Failure{NotVerified, link.PortName() + ": no complete reply to the read-back within " +
                                        std::to_string(timeoutMs) + " ms"};
    const std::string_view read = ReplyImage(*reply);
    for (int address = 0; address < DeviceImageBytes; ++address) {
        const std::string_view wrote = std::string_view(image).substr(size_t(2 * address), 2);
        const std::string_view got = read.substr(size_t(2 * address), 2);
        if (SameDigits(wrote, got))
            continue;
        char where[8];
        std::snprintf(where, sizeof where, "0x%02X", address);
        throw Failure{NotVerified, link.PortName() + ": the read-back differs at address " + where + ": wrote " +
                                       std::string(wrote) + ", read " + Shown(got)};
    }
}

// Writes one transmitter, verifies it unless asked not to, records it and
// prints its line, whatever failed before; throws what ends the batch. A
// record that cannot be written decides the exit status, since IDs may then
// have gone out unrecorded; other failures are told on stderr.
void ProgramOne(DeviceLink& link, ProductionRecord& record, const Arguments& a,
                const std::array<ButtonFields, 3>& buttons, const std::string& prefix)
{
    RecordEntry entry{link.PortName(), buttons, a.relay, CodesOf(buttons, a.relay), "no"};
    const std::string image = MakeDeviceImage(entry.codes[0], entry.codes[1], entry.codes[2]);
    std::vector<Failure> failures;
    try {
        link.WriteImage(image);
        if (a.verify)
            Verify(link, image, a.timeoutMs);
        entry.verified = a.verify ? "yes" : "skipped";
    } catch (const Failure& f) {
        failures.push_back(f);
    }
    const char* outcome = !failures.empty() ? "FAILED" : a.verify ? "verified" : "written, not verified";
    try {
        record.Append(entry);
    } catch (const Failure& f) {
        failures.insert(failures.begin(), f);
    }
    try {
        Print(prefix + WriteLine(link.PortName(), buttons, a.relay, outcome));
    } catch (const Failure& f) {
        failures.push_back(f);
    }
    if (failures.empty())
        return;
    for (size_t i = 1; i < failures.size(); ++i)
        std::fprintf(stderr, "irprogrammer-cli: %s\n", failures[i].what());
    throw Failure{failures.front().status, failures.front().what()};
}

std::string BatchStopped(int done, int count)
{
    return "the batch stopped after " + std::to_string(done) + " of " + std::to_string(count) + " transmitters";
}

void WaitForNext(int next, int count)
{
    std::fprintf(stderr, "Put transmitter %d of %d on the programmer and press Enter: ", next, count);
    std::fflush(stderr);
    std::string line;
    const bool read = bool(std::getline(std::cin, line));
    const std::string stopped = BatchStopped(next - 1, count);
    if (!read)
        std::fputc('\n', stderr);
    ThrowIfInterrupted("at the prompt: " + stopped);
    if (!read)
        throw Failure{Stopped, "standard input ended: " + stopped};
}

} // namespace

int RunPorts(const Arguments& a)
{
    TvxComm rs;
    rs.SetEnumPorts(vxcomm::epQuickAll);
    rs.FillDeviceList(nullptr);
    TvxPortHints hints = ReadPortHints();
    std::vector<PortEntry> ports;
    for (int32_t i = 0; i < rs.DeviceCount(); ++i) {
        const TvxDevice& device = *rs.Device(i);
        TvxPortHint hint = PortDeviceHint(device, hints);
        ports.push_back({device.PortName, hint.Path, hint.Description, hint.Manufacturer, std::move(hint.Notes)});
    }
    if (ports.empty() && !a.json)
        std::fputs("irprogrammer-cli: no serial ports found\n", stderr);
    Print(a.json ? PortsJson(ports) : PortsText(ports));
    return Done;
}

int RunRead(const Arguments& a)
{
    DeviceLink link(a.port);
    const std::optional<std::string> reply = link.Read(a.timeoutMs);
    if (!reply)
        throw Failure{NotVerified,
                      link.PortName() + ": no complete reply within " + std::to_string(a.timeoutMs) + " ms"};
    CheckCodes(link.PortName(), *reply);
    Print(a.json ? ReplyJson(link.PortName(), *reply) : ReplyText(*reply));
    return Done;
}

int RunWrite(const Arguments& a)
{
    InterruptCatcher interrupts;
    ProductionRecord record(a.record);
    DeviceLink link(a.port);
    interrupts.Listen();
    std::array<ButtonFields, 3> buttons = a.buttons;
    for (int n = 1; n <= a.count; ++n) {
        // A signal that came while the last transmitter was being finished
        // (recorded, printed) has cut short no wait: the prompt would miss it.
        if (n > 1)
            ThrowIfInterrupted("between transmitters: " + BatchStopped(n - 1, a.count));
        if (n > 1 && !a.yes)
            WaitForNext(n, a.count);
        const std::string prefix = a.count > 1 ? std::to_string(n) + "/" + std::to_string(a.count) + "  " : "";
        ProgramOne(link, record, a, buttons, prefix);
        if (a.increment)
            for (ButtonFields& b : buttons)
                ++b.id;
    }
    return Done;
}

} // namespace ircli
