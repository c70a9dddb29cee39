#include "sim/card/iso_card.h"
#include "sim/card/tlv_writer.h"

namespace qel::sim {

namespace {

constexpr std::uint16_t kNotFound = 0x6A82, kBadP1P2 = 0x6A86, kWrongLength = 0x6700, kSecurity = 0x6982,
                        kNoCurrentEf = 0x6986, kOffset = 0x6B00;

std::uint16_t fidOf(const Bytes& d) { return static_cast<std::uint16_t>(d[0] << 8 | d[1]); }

}  // namespace

bool IsoCard::allowed(Access access) const {
    return access == Access::always || (access == Access::pin && pins_.pinVerified());
}

Bytes IsoCard::contentOf(const CardNode& node) const {
    const std::string path = node.pathHex();
    auto written = state_.files.find(path);
    return hostile_.fileContent(path, written != state_.files.end() ? written->second : node.content);
}

Bytes IsoCard::fileControl(const CardNode& node, bool fci) const {
    Bytes inner;
    if (node.isDf) {
        inner = cat({tlv(0x82, Bytes{0x38}), tlv(0x83, bigEndian(node.fid, 2))});
        if (!node.name.empty()) inner = cat({inner, tlv(0x84, node.name)});
    } else {
        // Size first: clients take the first 80 byte of the answer as the size tag.
        inner = cat({tlv(0x80, bigEndian(contentOf(node).size(), 2)), tlv(0x82, Bytes{0x01}),
                     tlv(0x83, bigEndian(node.fid, 2))});
        if (node.sfi) inner = cat({inner, tlv(0x88, Bytes{static_cast<std::uint8_t>(node.sfi << 3)})});
    }
    inner = cat({inner, tlv(0x8A, Bytes{0x05})});
    return tlv(fci ? 0x6F : 0x62, inner);
}

ResponseApdu IsoCard::select(const CommandApdu& c) {
    CardNode* target = nullptr;
    FileTree& tree = content_->tree;
    const Bytes& d = c.data;
    switch (c.p1) {
        case 0x00:
            if (d.empty()) {
                target = &tree.mf();
                break;
            }
            if (d.size() != 2) return statusOnly(kWrongLength);
            if (fidOf(d) == 0x3F00)
                target = &tree.mf();
            else if (CardNode* child = currentDf_->child(fidOf(d)))
                target = child;
            else if (currentDf_->fid == fidOf(d))
                target = currentDf_;
            else if (currentDf_->parent)
                target = currentDf_->parent->child(fidOf(d));
            break;
        case 0x01:
        case 0x02:
            if (d.size() != 2) return statusOnly(kWrongLength);
            target = currentDf_->child(fidOf(d));
            if (target && target->isDf != (c.p1 == 0x01)) target = nullptr;
            break;
        case 0x03:
            if (!d.empty()) return statusOnly(kWrongLength);
            target = currentDf_->parent;
            break;
        case 0x04:
            if (d.empty() || d.size() > 16) return statusOnly(kWrongLength);
            target = tree.findByName(d);
            break;
        case 0x08:
        case 0x09:
            if (d.empty() || d.size() % 2 != 0) return statusOnly(kWrongLength);
            target = tree.resolve(d, c.p1 == 0x08 ? &tree.mf() : currentDf_);
            break;
        default:
            return statusOnly(kBadP1P2);
    }
    if (!target) return statusOnly(kNotFound);
    if (target->isDf) {
        currentDf_ = target;
        currentEf_ = nullptr;
    } else {
        currentEf_ = target;
        currentDf_ = target->parent;
    }
    switch (c.p2 & 0x0C) {
        case 0x0C:
            return statusOnly(0x9000);
        case 0x04:
            return withLe(fileControl(*target, false), c);
        default:
            return withLe(fileControl(*target, true), c);
    }
}

std::uint16_t IsoCard::addressBinary(const CommandApdu& c, std::size_t& offset) {
    if (c.p1 & 0x80) {
        const std::uint8_t sfi = c.p1 & 0x1F;
        CardNode* ef = nullptr;
        for (const auto& child : currentDf_->children)
            if (!child->isDf && child->sfi == sfi && sfi != 0) ef = child.get();
        if (!ef) return kNotFound;
        currentEf_ = ef;
        offset = c.p2;
    } else {
        if (!currentEf_) return kNoCurrentEf;
        offset = static_cast<std::size_t>(c.p1) << 8 | c.p2;
    }
    return 0;
}

ResponseApdu IsoCard::readBinary(const CommandApdu& c) {
    std::size_t offset = 0;
    if (const std::uint16_t failure = addressBinary(c, offset); failure != 0) return statusOnly(failure);
    if (!c.data.empty()) return statusOnly(kWrongLength);
    if (currentEf_->read == Access::never) return statusOnly(kNoCurrentEf);
    if (!allowed(currentEf_->read)) return statusOnly(kSecurity);
    const Bytes content = contentOf(*currentEf_);
    if (offset > content.size() || (offset == content.size() && !content.empty())) return statusOnly(kOffset);
    // Without Le a T=0 card reads P3 = 00, that is up to 256 bytes.
    const std::size_t ne = static_cast<std::size_t>(c.le.value_or(256));
    const std::size_t available = content.size() - offset;
    const std::size_t n = std::min(ne, available);
    ResponseApdu out{
        Bytes(content.begin() + static_cast<long>(offset), content.begin() + static_cast<long>(offset + n)), 0x9000};
    // Asking for more than the file holds: the end of the file came first (Le 00 means "all").
    if (n < ne && c.le && *c.le != 256) out.sw = 0x6282;
    return out;
}

ResponseApdu IsoCard::updateBinary(const CommandApdu& c) {
    std::size_t offset = 0;
    if (const std::uint16_t failure = addressBinary(c, offset); failure != 0) return statusOnly(failure);
    if (c.data.empty()) return statusOnly(kWrongLength);
    if (currentEf_->update == Access::never) return statusOnly(kNoCurrentEf);
    if (!allowed(currentEf_->update)) return statusOnly(kSecurity);
    Bytes content = contentOf(*currentEf_);
    if (offset > content.size()) return statusOnly(kOffset);
    // Transparent files keep the size they were created with.
    if (offset + c.data.size() > content.size()) return statusOnly(kWrongLength);
    std::copy(c.data.begin(), c.data.end(), content.begin() + static_cast<long>(offset));
    state_.files[currentEf_->pathHex()] = content;
    persist_();
    return statusOnly(0x9000);
}

}  // namespace qel::sim
