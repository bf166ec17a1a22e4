#include "sim/Simulator.h"

#include <cstring>

#include "link/Clock.h"
#include "link/SerialPortList.h"
#include "sim/SimD2xxProvider.h"

SimCard Simulator::SampleCard(uint32_t uid) {
    SimCard card(uid);
    // The public key A of sector 0 on cards that carry an application directory; it is also what
    // the commands page loads into key 0, so continuous read of block 0 works out of the box.
    card.SetSectorKeys(0, {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5}, SimCard::kTransportKey);
    SimCard::Block text{};
    std::memcpy(text.data(), "Tagbench sample.", 16);
    card.SetBlock(1, text);
    SimCard::Block counting{};
    for (uint8_t i = 0; i < 16; ++i) {
        counting[i] = i;
    }
    card.SetBlock(2, counting);
    card.SetBlock(4, SimCard::ValueBlock(100, 4));
    return card;
}

std::unique_ptr<Simulator> Simulator::Start(std::string& error) {
    std::unique_ptr<Simulator> sim(new Simulator);
    sim->m_pReader = std::make_shared<SimReader>(Clock::System());
    sim->m_pReader->EnterCard(SampleCard());
    sim->m_pPty = SimPtyEndpoint::Create(sim->m_pReader, 0, error);
    if (!sim->m_pPty) {
        return nullptr;
    }
    sim->m_pUsb = std::make_shared<SimD2xxProvider>(sim->m_pReader, Clock::System());
    SerialPortList::Shared().AddExtraPort(sim->PortName(), kPortDescription);
    return sim;
}

Simulator::~Simulator() {
    if (m_pPty) {
        SerialPortList::Shared().RemoveExtraPort(m_pPty->PortName());
    }
    // Each endpoint goes before what it calls: the pseudo-terminal's thread reaches the reader and,
    // through the reader's listeners, the bridge; the bridge reaches the reader. A port that still
    // holds the bridge keeps it, and the reader with it.
    m_pPty.reset();
    m_pUsb.reset();
    m_pReader.reset();
}
