#pragma once

#include <memory>
#include <string>

#include "link/D2xx.h"
#include "sim/SimCard.h"
#include "sim/SimPtyEndpoint.h"
#include "sim/SimReader.h"

// The simulated reader as the program starts it for its "simulate" run mode and for
// tagbench-cli --simulate: one reader on the system clock with one card in its field, reached
// through a pseudo-terminal that joins the shared serial port list as "Simulated reader", and
// through a simulated USB bridge for ReaderPort's USB kind. Both ways lead to the same reader.
class Simulator {
public:
    static constexpr uint32_t kCardUid = 0x12345678;
    static constexpr const char* kPortDescription = "Simulated reader";

    // Null with a reason when the pseudo-terminal cannot be opened.
    static std::unique_ptr<Simulator> Start(std::string& error);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    std::string PortName() const { return m_pPty->PortName(); }
    std::shared_ptr<D2xxProvider> UsbProvider() const { return m_pUsb; }
    SimReader& Reader() { return *m_pReader; }

    // The card in the field at start: key A A0A1A2A3A4A5 in sector 0, the shipping key
    // FFFFFFFFFFFF everywhere else (key B of sector 0 too), a readable text in block 1, the numbers
    // 0 to 15 in block 2 and a value block of 100 (address 4) in block 4.
    static SimCard SampleCard(uint32_t uid = kCardUid);

private:
    Simulator() = default;

    // Torn down by ~Simulator in its own order, not in the members' order.
    std::shared_ptr<SimReader> m_pReader;
    std::unique_ptr<SimPtyEndpoint> m_pPty;
    std::shared_ptr<D2xxProvider> m_pUsb;
};
