// A network's own MT19937: seeded with one 32-bit value when the network is
// made, in every observable way the std::mt19937 built from that value, but
// cheap to make, copy and move.
//
// The standard seeding rule fills 624 words one after another (about a
// microsecond), and most networks never draw (an offspring draws only when a
// mutation adds a connection or node). So the state is built from the seed at
// the first use, and lives out of line: moving or swapping a network moves a
// pointer instead of 5 kB, and copying a network that never drew copies the seed.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

namespace kestrin {

class NetworkEngine {
public:
    using result_type = std::mt19937::result_type;
    static constexpr result_type min() { return std::mt19937::min(); }
    static constexpr result_type max() { return std::mt19937::max(); }

    explicit NetworkEngine(result_type seed = std::mt19937::default_seed) : seed_(seed) {}
    NetworkEngine(const NetworkEngine& other)
        : seed_(other.seed_), state_(other.state_ ? std::make_unique<std::mt19937>(*other.state_) : nullptr) {}
    NetworkEngine& operator=(const NetworkEngine& other) {
        if (this == &other) return *this;
        if (!other.state_) {
            state_.reset();
        } else if (state_) {
            *state_ = *other.state_;  // no new allocation
        } else {
            state_ = std::make_unique<std::mt19937>(*other.state_);
        }
        seed_ = other.seed_;
        return *this;
    }
    // A moved-from engine is the engine freshly seeded with its seed.
    NetworkEngine(NetworkEngine&&) noexcept = default;
    NetworkEngine& operator=(NetworkEngine&&) noexcept = default;
    NetworkEngine& operator=(const std::mt19937& engine) {
        if (state_) {
            *state_ = engine;
        } else {
            state_ = std::make_unique<std::mt19937>(engine);
        }
        return *this;
    }

    result_type operator()() { return engine()(); }
    void discard(unsigned long long count) { engine().discard(count); }
    void seed(result_type value = std::mt19937::default_seed) {
        seed_ = value;
        state_.reset();
    }

    // The engine as text (its seed, then its state once it drew), and back:
    // what a run's backup keeps of a network beyond its genes.
    std::string text() const {
        std::ostringstream out;
        out << seed_ << ' ' << (state_ != nullptr);
        if (state_) out << ' ' << *state_;
        return out.str();
    }
    // std::invalid_argument for a text that text() did not give.
    void setText(const std::string& text) {
        std::istringstream in(text);
        result_type seed = 0;
        bool drew = false;
        in >> seed >> drew;
        std::unique_ptr<std::mt19937> state;
        if (drew) {
            state = std::make_unique<std::mt19937>();
            in >> *state;
        }
        if (in.fail() || !(in >> std::ws).eof()) throw std::invalid_argument("A network's saved engine is damaged.");
        seed_ = seed;
        state_ = std::move(state);
    }

    // The engine itself, built from the seed on first use.
    std::mt19937& engine() { return built(); }
    const std::mt19937& engine() const { return built(); }
    operator std::mt19937&() { return engine(); }
    operator const std::mt19937&() const { return engine(); }

    friend bool operator==(const NetworkEngine& a, const NetworkEngine& b) {
        // Two seeds give equal states exactly when they are equal (word 0 is the seed).
        if (!a.state_ && !b.state_) return a.seed_ == b.seed_;
        return a.engine() == b.engine();
    }
    friend bool operator==(const NetworkEngine& a, const std::mt19937& b) { return a.engine() == b; }

    friend void swap(NetworkEngine& a, NetworkEngine& b) noexcept {
        std::swap(a.seed_, b.seed_);
        a.state_.swap(b.state_);
    }

private:
    std::mt19937& built() const {
        if (!state_) state_ = std::make_unique<std::mt19937>(seed_);
        return *state_;
    }

    result_type seed_;
    // Null until the first use; the engine state is then seed_ expanded and advanced.
    mutable std::unique_ptr<std::mt19937> state_;
};

}  // namespace kestrin
