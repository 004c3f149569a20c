#include "cmdline/Device.h"

#include "link/HidLink.h"

#include <cstdlib>

namespace pello {

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

void AddDeviceFlags(CLI::App* sub, DeviceFlags* flags)
{
    sub->add_option("--link", flags->link, "usb (the default) or rs232")->check(CLI::IsMember({"usb", "rs232"}));
    flags->portOption = sub->add_option("--port", flags->port,
                                        "this device and no other: a serial device (implies --link rs232; "
                                        "default: $PELLOMATIC_PORT), or " + std::string(kHidPortName));
}

DeviceChoice ResolveDevice(const DeviceFlags& flags)
{
    const bool usbAsked = flags.link == "usb";
    const bool portGiven = flags.portOption->count() > 0;
    const bool hidraw = portGiven && flags.link != "rs232" && NamesHidDevice(flags.port);
    if (usbAsked && portGiven && !hidraw) {
        throw CLI::ValidationError("--port with --link usb must name " + std::string(kHidPortName) + "; " + flags.port +
                                   " is none");
    }
    DeviceChoice choice;
    choice.port = portGiven ? flags.port : usbAsked ? "" : Environment("PELLOMATIC_PORT");
    choice.link = !hidraw && (flags.link == "rs232" || !choice.port.empty()) ? Link::Rs232 : Link::Usb;
    return choice;
}

void AddLabelOptions(CLI::App* cmd, std::string* label, std::string* printer, bool required)
{
    CLI::Option* file = cmd->add_option("--label", *label, "a label template (ZPL or any text the printer takes) "
                                                             "with {serial}, {field}, {code}, {batch}, {time}, "
                                                             "{station}, {operator}")
                            ->option_text("FILE");
    CLI::Option* to = cmd->add_option("--printer", *printer, "tcp://HOST:9100, a device file such as "
                                                             "/dev/usb/lp0, or cups:QUEUE")
                          ->option_text("PRINTER");
    file->needs(to);
    to->needs(file);
    if (required) file->required();
}

} // namespace pello
