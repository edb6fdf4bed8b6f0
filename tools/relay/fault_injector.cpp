#include "fault_injector.h"

namespace vantrel::relay {

FaultInjector::FaultInjector(const FaultRates& rates, std::uint64_t seed, Direction direction)
    : m_rates(rates) {
    std::seed_seq sequence{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                           static_cast<std::uint32_t>(Index(direction))};
    m_random.seed(sequence);
}

bool FaultInjector::Chance(double rate) {
    if (rate <= 0.0) {
        return false;
    }
    // 53 random bits as a fraction in [0, 1).
    const double draw = static_cast<double>(m_random() >> 11) * 0x1.0p-53;
    return draw < rate;
}

void FaultInjector::Pass(std::uint8_t byte, std::string& out) {
    ++m_counts.in;
    if (Chance(m_rates.drop)) {
        ++m_counts.dropped;
        return;
    }
    if (Chance(m_rates.insert)) {
        ++m_counts.inserted;
        ++m_counts.out;
        out.push_back(static_cast<char>(m_random() & 0xFF));
    }
    if (Chance(m_rates.flip)) {
        ++m_counts.flipped;
        byte = static_cast<std::uint8_t>(byte ^ (1u << (m_random() % 8)));
    }
    out.push_back(static_cast<char>(byte));
    ++m_counts.out;
    if (Chance(m_rates.dup)) {
        ++m_counts.duplicated;
        out.push_back(static_cast<char>(byte));
        ++m_counts.out;
    }
}

}  // namespace vantrel::relay
