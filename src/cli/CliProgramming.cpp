#include "CliProgramming.h"

#include "CliNumber.h"

#include <charconv>
#include <chrono>
#include <thread>

#include "commands/HexText.h"
#include "link/ReaderPort.h"

namespace {

bool TakeArgument(const std::vector<std::string>& args, size_t& i, const std::string& what,
                  std::string& value, std::string& error) {
    if (i >= args.size()) {
        error = what + " is missing";
        return false;
    }
    value = args[i++];
    return true;
}

// The USB record's options; the defaults are those of a profile without its own values.
bool ParseUsbSettings(const std::vector<std::string>& args, size_t& i, ProgrammingInputs& in,
                      std::string& error) {
    in.vendorId = "0403";
    in.productId = "6001";
    in.manufacturer = "QV Cardterminal";
    in.manufacturerId = "QV";
    in.description = "Device description";
    in.maxPower = 40;
    in.pnp = in.selfPowered = in.remoteWakeup = 1;
    bool hasSerial = false;
    while (i < args.size() && args[i].starts_with("--")) {
        const std::string option = args[i];
        std::string value;
        if (option == "--aux") {
            break;  // not ours
        }
        ++i;
        if (!TakeArgument(args, i, "usb-settings " + option + "'s value", value, error)) {
            return false;
        }
        uint32_t number = 0;
        auto numeric = [&](uint32_t max, auto& field) {
            if (!ParseNumber<uint32_t>(value, 0, max, number)) {
                error = "usb-settings " + option + " needs a number from 0 to " + std::to_string(max) +
                        ", not " + value;
                return false;
            }
            field = static_cast<std::remove_reference_t<decltype(field)>>(number);
            return true;
        };
        if (option == "--product-id") {
            in.productId = value;
        } else if (option == "--manufacturer") {
            in.manufacturer = value;
        } else if (option == "--manufacturer-id") {
            in.manufacturerId = value;
        } else if (option == "--description") {
            in.description = value;
        } else if (option == "--usb-serial") {
            if (!numeric(999999, in.usbSerial)) {
                return false;
            }
            hasSerial = true;
        } else if (option == "--max-power") {
            if (!numeric(500, in.maxPower)) {
                return false;
            }
        } else if (option == "--pnp" || option == "--self-powered" || option == "--remote-wakeup") {
            if (!numeric(1, option == "--pnp"            ? in.pnp
                            : option == "--self-powered" ? in.selfPowered
                                                         : in.remoteWakeup)) {
                return false;
            }
        } else {
            error = "usb-settings: unknown option " + option;
            return false;
        }
    }
    if (!hasSerial) {
        error = "usb-settings needs --usb-serial N (the number of the USB serial text)";
        return false;
    }
    // Refused here rather than after the loader was woken.
    if (const std::string refusal = ProgrammingSequence::CheckUsbSettings(in); !refusal.empty()) {
        error = "usb-settings: " + refusal;
        return false;
    }
    return true;
}

}  // namespace

bool IsProgrammingVerb(const std::string& verb) {
    return verb == "serial" || verb == "usb-settings" || verb == "firmware" || verb == "sendfile" ||
           verb == "btl";
}

bool ParseProgrammingJob(const std::string& verb, const std::vector<std::string>& args, size_t& i,
                         CliProgrammingJob& job, std::string& error) {
    ProgrammingInputs& in = job.inputs;
    std::string value;
    if (verb == "serial") {
        in.mode = SerialOnly;
        if (!TakeArgument(args, i, "serial's number", value, error)) {
            return false;
        }
        if (!ParseNumber<uint32_t>(value, 0, 99999999, in.mifareSerial)) {
            error = "serial needs a number from 0 to 99999999, not " + value;
            return false;
        }
        return true;
    }
    if (verb == "usb-settings") {
        in.mode = UsbSettingsOnly;
        return ParseUsbSettings(args, i, in, error);
    }
    if (verb == "btl") {
        std::string action;
        if (!TakeArgument(args, i, "btl's program or verify", action, error)) {
            return false;
        }
        if (action != "program" && action != "verify") {
            error = "btl takes program or verify, not " + action;
            return false;
        }
        in.mode = action == "program" ? ProgramFile : VerifyFile;
    } else {
        in.mode = verb == "firmware" ? DownloadFirmware : SendFile;
    }
    if (!TakeArgument(args, i, verb + "'s FILE", in.filePath, error)) {
        return false;
    }
    if (verb == "btl" && i < args.size() && args[i] == "--aux") {
        job.destination = 1;
        ++i;
    }
    return true;
}

std::string ProgrammingUsage() {
    return "Programming jobs (the reader's loader, as the programming dialog runs them):\n"
           "  serial N           store the MIFARE serial number N (0-99999999)\n"
           "  usb-settings --usb-serial N [--product-id HEX4] [--manufacturer TEXT]\n"
           "               [--manufacturer-id XX] [--description TEXT] [--max-power MA]\n"
           "               [--pnp 0|1] [--self-powered 0|1] [--remote-wakeup 0|1]\n"
           "                     program the USB bridge's EEPROM (USB connections only)\n"
           "  firmware FILE      erase the flash banks and download a firmware image\n"
           "  sendfile FILE      send a file unchanged\n"
           "  btl program|verify FILE [--aux]\n"
           "                     program or verify a block file, in the reader or its aux. module\n";
}

bool RunProgrammingJob(ReaderPort& port, Clock& clock, const CliProgrammingJob& job, std::ostream& out,
                       bool progress, std::string& failure) {
    ProgrammingSequence sequence(port, clock);
    sequence.SetInputs(job.inputs);
    sequence.SetDestination(job.destination);
    bool barShown = false;
    auto endBar = [&] {
        if (barShown) {
            out << "\n";
            barShown = false;
        }
    };
    sequence.SetLogListener([&](const std::string& line) {
        endBar();
        out << EscapeControls(line) << "\n";  // the loader's version text is the reader's bytes
        out.flush();
    });
    if (job.inputs.mode != SendFile) {
        out << sequence.GetCaption() << "\n";  // a raw file's first log line is its caption
    }
    sequence.Begin();
    uint64_t shown = UINT64_MAX;
    while (sequence.IsRunning()) {
        sequence.Step();
        const uint64_t range = sequence.GetProgressRange();
        if (progress && range > 0 && sequence.GetProgressPosition() != shown) {
            shown = sequence.GetProgressPosition();
            constexpr int kWidth = 40;
            const int filled = static_cast<int>(shown * kWidth / range);
            out << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, ' ') << "] " << shown
                << "/" << range << " bytes";
            out.flush();
            barShown = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(sequence.GetNextStepDelay()));
    }
    endBar();
    if (!sequence.Succeeded()) {
        failure = sequence.GetLog().empty() ? std::string("failed") : sequence.GetLog().back();
    }
    return sequence.Succeeded();
}
