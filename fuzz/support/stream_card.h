#pragma once
// A card whose every answer comes from the fuzz input, for harnesses that drive the card core or the
// token over a hostile card.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "card/smart_card.h"
#include "common/bytes.h"

namespace qel::fuzz {

/// Answers each command with the next piece of the input: one length byte, then that many bytes
/// (status word included). When the input runs out the card is gone. The input must outlive the card.
class StreamCard : public SmartCard {
public:
    StreamCard(Bytes atr, const std::uint8_t* data, std::size_t size)
        : atr_(std::move(atr)), data_(data), size_(size) {}
    Bytes atr() const override { return atr_; }
    void beginSession() override {}
    void endSession() override {}
    Bytes transmit(const Bytes&) override {
        if (pos_ >= size_) throw TransportError(TransportError::Kind::cardRemoved, 0, "card removed");
        std::size_t n = data_[pos_++];
        n = std::min(n, size_ - pos_);
        Bytes answer(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return answer;
    }

private:
    Bytes atr_;
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

/// ATRs the card core recognises: third generation contact and contactless, and the two of the
/// fourth generation.
inline const Bytes kAtrQel3{0x3B, 0xAC, 0x00, 0x40, 0x2A, 0x00, 0x12, 0x25, 0x00,
                            0x64, 0x80, 0x00, 0x03, 0x10, 0x00, 0x90, 0x00};
inline const Bytes kAtrQel3Contactless{0x3B, 0x8F, 0x80, 0x01, 0x00, 0x31, 0xB8, 0x64, 0x04, 0xB0,
                                       0xEC, 0xC1, 0x73, 0x94, 0x01, 0x80, 0x82, 0x90, 0x00, 0x0E};
inline const Bytes kAtrQel4{0x3B, 0x9B, 0x18, 0x80, 0x01, 0x00, 0x12, 0x25, 0x00,
                            0x64, 0x80, 0x04, 0x01, 0x00, 0x00, 0x90, 0x44};
inline const Bytes kAtrQel4Second{0x3B, 0xDC, 0x18, 0xFF, 0x00, 0x00, 0x12, 0x25, 0x00,
                                  0x64, 0x80, 0x00, 0x04, 0x01, 0x00, 0x90, 0x00};

}  // namespace qel::fuzz
