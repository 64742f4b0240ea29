#pragma once

// The MuJoCo engine a physics scene runs on, loaded at run time from the
// file the caller names (the one the user's `mujoco` package ships), so that
// nothing of ours links against it: a program that never makes a scene needs
// no MuJoCo at all. Only the functions the scenes call are resolved.

#include <mujoco/mujoco.h>

#include <string>

namespace Torvi::HardwareAPI::Physics {

/// The engine's functions the scenes call, typed as the headers declare them.
struct MujocoFunctions {
    decltype(&::mj_version) version = nullptr;
    decltype(&::mj_versionString) version_string = nullptr;
    decltype(&::mj_copyModel) copy_model = nullptr;
    decltype(&::mj_deleteModel) delete_model = nullptr;
    decltype(&::mj_makeData) make_data = nullptr;
    decltype(&::mj_copyData) copy_data = nullptr;
    decltype(&::mj_deleteData) delete_data = nullptr;
    decltype(&::mj_step) step = nullptr;
    decltype(&::mj_forward) forward = nullptr;
    decltype(&::mj_kinematics) kinematics = nullptr;
    decltype(&::mj_name2id) name_to_id = nullptr;
    decltype(&::mj_stateSize) state_size = nullptr;
    decltype(&::mj_getState) get_state = nullptr;
    decltype(&::mj_setState) set_state = nullptr;
    decltype(&::mj_applyFT) apply_force = nullptr;
};

/// The state a scene publishes and takes in: everything mj_step integrates
/// and the inputs it reads, so that a copy restores the simulation whole.
constexpr int kStateSignature = mjSTATE_INTEGRATION;

/// One opened engine library. The handle is closed on destruction; the
/// process keeps the library loaded while anything else (the `mujoco`
/// package) holds it.
class MujocoLibrary {
public:
    /// Opens `path` and resolves the functions. Throws std::runtime_error
    /// when the file cannot be opened, lacks one of them, or is of another
    /// version than the headers this library was built against.
    explicit MujocoLibrary(const std::string& path);
    ~MujocoLibrary();

    MujocoLibrary(const MujocoLibrary&) = delete;
    MujocoLibrary& operator=(const MujocoLibrary&) = delete;

    const MujocoFunctions& Functions() const { return functions_; }

private:
    void* handle_ = nullptr;
    MujocoFunctions functions_;
};

} // namespace Torvi::HardwareAPI::Physics
