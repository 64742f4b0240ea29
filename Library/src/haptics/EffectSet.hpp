#pragma once

// The loop's effects: the list that Add and Remove change on the callers'
// threads and the loop's thread renders each cycle, their fades, and the
// replaced lists kept until the loop's thread has let go of them, so that no
// effect is ever freed on that thread.

#include "Torvi/HardwareAPI/haptics/Effects.hpp"
#include "haptics/CycleTask.hpp"
#include "haptics/Fade.hpp"
#include "haptics/LoopClock.hpp"

#include <memory>
#include <mutex>
#include <vector>

namespace Torvi::HardwareAPI::Haptics {

/// The effects of one loop, a task of its cycle. Add, Remove, Contains,
/// RestartAll and Settle from any thread; Step from the loop's thread only.
class EffectSet : public CycleTask {
public:
    /// Adds `effect` (not empty), faded in over `fade_ns` from its first
    /// cycle (0: at once); an effect that is fading out fades back in from
    /// where it stands; one already in changes nothing.
    void Add(const std::shared_ptr<Effect>& effect, Nanoseconds fade_ns);
    /// Removes `effect`, at once or, with `fade_ns` > 0 while the loop is
    /// `running`, after fading out. std::invalid_argument when it is not in.
    void Remove(const std::shared_ptr<Effect>& effect, Nanoseconds fade_ns, bool running);
    /// Whether `effect` is in the set (a faded-out effect no longer is).
    bool Contains(const std::shared_ptr<Effect>& effect) const;
    /// The effects in the set now, in the order they were added.
    std::vector<std::shared_ptr<Effect>> Effects() const;
    /// Before a run: every effect restarts at its first cycle.
    void RestartAll();
    /// Once the loop's thread has ended: fade-outs done, unfinished fade-ins
    /// started afresh, lists the thread has let go of released.
    void Settle();

    /// The loop's thread: each effect's force for `cycle`, scaled by its
    /// fade, added to `total`.
    void Step(const CycleInput& cycle, Nanoseconds start_ns, Vector3& total) override;

private:
    struct Entry {
        std::shared_ptr<Effect> effect;
        std::shared_ptr<Fade> fade; ///< empty: at full strength
    };
    using EffectList = std::vector<Entry>;
    using Lists = std::vector<std::shared_ptr<const EffectList>>;

    /// Every change: `change(next, found)` edits the live list `next`, in
    /// which `found` is `effect`'s entry or next.end(); then it is published
    /// (unless `change` throws). Releases the lists let go of once the lock
    /// is given back.
    template <typename Change>
    void ChangeEffects(const std::shared_ptr<Effect>& effect, Change&& change);
    /// The effects as they stand for the caller: those whose fade-out is over
    /// left out, a fade-in that is over dropped. changes_mutex_ held.
    EffectList LiveEffects() const;
    /// Makes `next` the effects; keeps the list it replaces until the loop's
    /// thread lets go of it, and moves the kept lists it has let go of into
    /// `freed`, for the caller to release once the locks are given back.
    /// changes_mutex_ held.
    void Publish(EffectList next, Lists& freed);

    // Serialises the changes (Add, Remove, Settle); never taken by the
    // loop's thread. Taken before list_mutex_.
    mutable std::mutex changes_mutex_;
    Lists retired_; // replaced lists, maybe still in the loop's hands; changes_mutex_

    mutable std::mutex list_mutex_; // held only to copy or swap the pointer
    std::shared_ptr<const EffectList> effects_ = std::make_shared<EffectList>();
};

} // namespace Torvi::HardwareAPI::Haptics
