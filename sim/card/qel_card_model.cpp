#include "sim/card/qel_card_model.h"

#include <stdexcept>

#include "sim/card/card_content.h"
#include "sim/card/desfire_card.h"
#include "sim/card/iso_card.h"

namespace qel::sim {

Bytes qel3ContactAtr() {
    return {0x3B, 0xAC, 0x00, 0x40, 0x2A, 0x00, 0x12, 0x25, 0x00, 0x64, 0x80, 0x00, 0x03, 0x10, 0x00, 0x90, 0x00};
}
Bytes qel3ContactlessAtr() {
    return {0x3B, 0x8F, 0x80, 0x01, 0x00, 0x31, 0xB8, 0x64, 0x04, 0xB0,
            0xEC, 0xC1, 0x73, 0x94, 0x01, 0x80, 0x82, 0x90, 0x00, 0x0E};
}
Bytes qel4ContactAtr() {
    return {0x3B, 0xDC, 0x18, 0xFF, 0x00, 0x00, 0x12, 0x25, 0x00, 0x64, 0x80, 0x00, 0x04, 0x01, 0x00, 0x90, 0x00};
}
Bytes qel4ContactlessAtr() { return {0x3B, 0x81, 0x80, 0x01, 0x80, 0x80}; }

namespace {

class VirtualQelCard : public QelCardModel {
public:
    /// With an empty `dir` the state is kept in memory only.
    VirtualQelCard(std::string dir, Profile profile, CardState state, ReaderKind kind, const CardKeySource& keys)
        : dir_(std::move(dir)),
          profile_(std::move(profile)),
          kind_(kind),
          state_(std::move(state)),
          hostile_(profile_.hostile) {
        std::function<void()> persist = [] {};
        if (!dir_.empty()) persist = [this] { saveState(dir_, state_); };
        if (profile_.generation == Generation::QEL4 && kind_ == ReaderKind::contactless)
            desfire_ = std::make_unique<DesfireCard>(profile_, state_, persist);
        else
            iso_ = std::make_unique<IsoCard>(profile_, state_, buildIsoContent(profile_, keys, kind_), kind_, hostile_,
                                             persist);
    }

    Bytes atr() const override {
        if (profile_.generation == Generation::QEL3)
            return kind_ == ReaderKind::contact ? qel3ContactAtr() : qel3ContactlessAtr();
        return kind_ == ReaderKind::contact ? qel4ContactAtr() : qel4ContactlessAtr();
    }

    void powerOn() override {
        hostile_.reset();
        if (iso_) iso_->reset();
        if (desfire_) desfire_->reset();
    }

    Bytes processApdu(const Bytes& raw) override {
        auto command = parseCommand(raw);
        if (!command) return statusOnly(0x6700).toBytes();
        try {
            ResponseApdu answer = iso_ ? iso_->process(*command) : desfire_->process(*command);
            if (hostile_.empty()) return answer.toBytes();
            return hostile_.filter(*command, iso_ ? iso_->currentPath() : desfire_->currentPath(), answer);
        } catch (const std::exception&) {
            // The state could not be written: a chip whose memory write failed reports it so.
            return statusOnly(0x6581).toBytes();
        }
    }

    void setHostileRules(std::vector<HostileRule> rules) override { hostile_ = HostileFilter(std::move(rules)); }
    const Profile& profile() const override { return profile_; }
    ReaderKind readerKind() const override { return kind_; }
    const CardState& state() const override { return state_; }

    void restoreFreshState() override {
        state_ = freshState(profile_);
        hostile_ = HostileFilter(profile_.hostile);
        if (!dir_.empty()) saveState(dir_, state_);
        powerOn();
    }

private:
    std::string dir_;
    Profile profile_;
    ReaderKind kind_;
    CardState state_;
    HostileFilter hostile_;
    std::unique_ptr<IsoCard> iso_;
    std::unique_ptr<DesfireCard> desfire_;
};

}  // namespace

std::unique_ptr<QelCardModel> loadQelCardModel(const std::string& profileDir, ReaderKind kind) {
    Profile profile = loadProfile(profileDir);
    try {
        CardState state = loadState(profileDir, profile);
        const CardKeySource keys = [&](KeyProfile::Role role) { return loadCardKey(profile, profileDir, role); };
        return std::make_unique<VirtualQelCard>(profileDir, profile, std::move(state), kind, keys);
    } catch (const std::exception& e) {
        throw std::runtime_error("card profile " + profileDir + ": " + e.what());
    }
}

struct QelCardBlueprint::Loaded {
    Profile profile;
    std::vector<CardKey> keys;
};

QelCardBlueprint::QelCardBlueprint(const std::string& profileDir) : loaded_(std::make_unique<Loaded>()) {
    loaded_->profile = loadProfile(profileDir);
    try {
        for (const KeyProfile& key : loaded_->profile.keys)
            loaded_->keys.push_back(loadCardKey(loaded_->profile, profileDir, key.role));
    } catch (const std::exception& e) {
        throw std::runtime_error("card profile " + profileDir + ": " + e.what());
    }
}

QelCardBlueprint::QelCardBlueprint(QelCardBlueprint&&) noexcept = default;
QelCardBlueprint::~QelCardBlueprint() = default;

const Profile& QelCardBlueprint::profile() const { return loaded_->profile; }

std::unique_ptr<QelCardModel> QelCardBlueprint::makeCard(ReaderKind kind) const {
    const CardKeySource keys = [this](KeyProfile::Role role) {
        for (const CardKey& key : loaded_->keys)
            if (key.profile.role == role) return key;
        throw std::runtime_error(std::string("the profile has no ") + roleName(role) + " key");
    };
    return std::make_unique<VirtualQelCard>("", loaded_->profile, freshState(loaded_->profile), kind, keys);
}

std::unique_ptr<CardModel> loadCardModel(const std::string& profileDir, ReaderKind kind) {
    return loadQelCardModel(profileDir, kind);
}

}  // namespace qel::sim
