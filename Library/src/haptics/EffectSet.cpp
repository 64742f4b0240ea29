#include "haptics/EffectSet.hpp"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace Torvi::HardwareAPI::Haptics {

namespace {

template <typename List, typename Pointer> auto Find(List& list, const Pointer& effect) {
    return std::find_if(list.begin(), list.end(),
                        [&](const auto& entry) { return entry.effect == effect; });
}

Vector3 Plus(const Vector3& a, const Vector3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

Vector3 Scaled(const Vector3& v, double factor) {
    const auto f = static_cast<float>(factor);
    return {v[0] * f, v[1] * f, v[2] * f};
}

} // namespace

template <typename Change>
void EffectSet::ChangeEffects(const std::shared_ptr<Effect>& effect, Change&& change) {
    Lists freed; // released after the lock
    std::lock_guard<std::mutex> changes(changes_mutex_);
    // A new list: the loop's thread may be adding up the old one.
    EffectList next = LiveEffects();
    std::forward<Change>(change)(next, Find(next, effect));
    Publish(std::move(next), freed);
}

void EffectSet::Add(const std::shared_ptr<Effect>& effect, Nanoseconds fade_ns) {
    ChangeEffects(effect, [&](EffectList& next, EffectList::iterator found) {
        if (found == next.end()) {
            effect->restart_due_.store(true);
            next.push_back(
                {effect, fade_ns > 0 ? std::make_shared<Fade>(0.0, 1.0, fade_ns) : nullptr});
        } else if (found->fade && found->fade->FadingOut()) {
            // Back before it has faded out: it turns where it stands.
            found->fade =
                fade_ns > 0 ? std::make_shared<Fade>(found->fade->Scale(), 1.0, fade_ns) : nullptr;
        }
    });
}

void EffectSet::Remove(const std::shared_ptr<Effect>& effect, Nanoseconds fade_ns, bool running) {
    ChangeEffects(effect, [&](EffectList& next, EffectList::iterator found) {
        if (found == next.end()) {
            throw std::invalid_argument("the effect is not in this loop");
        }
        if (fade_ns > 0 && running) {
            const double from = found->fade ? found->fade->Scale() : 1.0;
            found->fade = std::make_shared<Fade>(from, 0.0, fade_ns);
        } else {
            next.erase(found);
        }
    });
}

bool EffectSet::Contains(const std::shared_ptr<Effect>& effect) const {
    std::lock_guard<std::mutex> changes(changes_mutex_);
    const EffectList live = LiveEffects();
    return Find(live, effect) != live.end();
}

std::vector<std::shared_ptr<Effect>> EffectSet::Effects() const {
    std::lock_guard<std::mutex> changes(changes_mutex_);
    std::vector<std::shared_ptr<Effect>> effects;
    for (const Entry& entry : LiveEffects()) {
        effects.push_back(entry.effect);
    }
    return effects;
}

void EffectSet::RestartAll() {
    std::lock_guard<std::mutex> lock(list_mutex_);
    for (const Entry& entry : *effects_) {
        entry.effect->restart_due_.store(true);
    }
}

EffectSet::EffectList EffectSet::LiveEffects() const {
    EffectList live;
    live.reserve(effects_->size() + 1);
    for (const Entry& entry : *effects_) {
        if (entry.fade && entry.fade->Gone()) {
            continue;
        }
        live.push_back(entry);
        if (live.back().fade && live.back().fade->Over()) {
            live.back().fade.reset(); // faded in: at full strength from now on
        }
    }
    return live;
}

void EffectSet::Publish(EffectList next, Lists& freed) {
    auto published = std::make_shared<const EffectList>(std::move(next));
    retired_.reserve(retired_.size() + 1);
    {
        std::lock_guard<std::mutex> lock(list_mutex_);
        std::swap(effects_, published);
    }
    retired_.push_back(std::move(published));
    // A list no longer current gains no new holder: once this is its only
    // one, the loop's thread has let go of it for good.
    const auto let_go = std::stable_partition(
        retired_.begin(), retired_.end(), [](const auto& list) { return list.use_count() > 1; });
    std::move(let_go, retired_.end(), std::back_inserter(freed));
    retired_.erase(let_go, retired_.end());
}

void EffectSet::Settle() {
    Lists freed; // released after the lock
    std::lock_guard<std::mutex> changes(changes_mutex_);
    EffectList next;
    for (const Entry& entry : LiveEffects()) {
        if (entry.fade && entry.fade->FadingOut()) {
            continue; // the stop ended its fade
        }
        next.push_back(entry);
        if (entry.fade) {
            next.back().fade = std::make_shared<Fade>(0.0, 1.0, entry.fade->Length());
        }
    }
    Publish(std::move(next), freed);
}

void EffectSet::Step(const CycleInput& cycle, Nanoseconds start_ns, Vector3& total) {
    // The list stays referenced by effects_ or retired_ until this thread
    // lets go of it, so the copy here is never the last one.
    std::shared_ptr<const EffectList> effects;
    {
        std::lock_guard<std::mutex> lock(list_mutex_);
        effects = effects_;
    }
    for (const Entry& entry : *effects) {
        Fade* const fade = entry.fade.get();
        if (fade != nullptr && fade->Gone()) {
            continue;
        }
        Effect& effect = *entry.effect;
        // A plain load first: effects shared by two loops are not written
        // by both every cycle.
        if (effect.restart_due_.load() && effect.restart_due_.exchange(false)) {
            effect.Restart();
        }
        const Vector3 force = effect.Render(cycle);
        total = Plus(total, fade != nullptr ? Scaled(force, fade->Advance(start_ns)) : force);
    }
}

} // namespace Torvi::HardwareAPI::Haptics
