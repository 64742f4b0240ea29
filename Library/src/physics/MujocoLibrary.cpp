#include "physics/MujocoLibrary.hpp"

#include <dlfcn.h>

#include <stdexcept>

namespace Torvi::HardwareAPI::Physics {

namespace {

/// The version as MuJoCo writes it: 4000001 is "4.0.1".
std::string VersionText(int version) {
    constexpr int kMajor = 1000000;
    constexpr int kMinor = 1000;
    return std::to_string(version / kMajor) + "." + std::to_string(version / kMinor % kMinor) +
           "." + std::to_string(version % kMinor);
}

template <typename Function>
void Resolve(void* handle, const std::string& path, const char* name, Function& function) {
    void* const symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        throw std::runtime_error("the MuJoCo library " + path + " has no function " + name);
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym's way to a function
    function = reinterpret_cast<Function>(symbol);
}

} // namespace

MujocoLibrary::MujocoLibrary(const std::string& path)
    : handle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) {
        const char* why = dlerror();
        throw std::runtime_error("cannot load the MuJoCo library " + path + ": " +
                                 (why != nullptr ? why : "unknown error"));
    }
    try {
        MujocoFunctions& f = functions_;
        Resolve(handle_, path, "mj_version", f.version);
        const int found = f.version();
        if (found != mjVERSION_HEADER) {
            throw std::runtime_error("the MuJoCo library " + path + " is version " +
                                     VersionText(found) + ", this module was built against " +
                                     VersionText(mjVERSION_HEADER) +
                                     ": install mujoco==" + VersionText(mjVERSION_HEADER));
        }
        Resolve(handle_, path, "mj_versionString", f.version_string);
        Resolve(handle_, path, "mj_copyModel", f.copy_model);
        Resolve(handle_, path, "mj_deleteModel", f.delete_model);
        Resolve(handle_, path, "mj_makeData", f.make_data);
        Resolve(handle_, path, "mj_copyData", f.copy_data);
        Resolve(handle_, path, "mj_deleteData", f.delete_data);
        Resolve(handle_, path, "mj_step", f.step);
        Resolve(handle_, path, "mj_forward", f.forward);
        Resolve(handle_, path, "mj_kinematics", f.kinematics);
        Resolve(handle_, path, "mj_name2id", f.name_to_id);
        Resolve(handle_, path, "mj_stateSize", f.state_size);
        Resolve(handle_, path, "mj_getState", f.get_state);
        Resolve(handle_, path, "mj_setState", f.set_state);
        Resolve(handle_, path, "mj_applyFT", f.apply_force);
    } catch (...) {
        dlclose(handle_);
        throw;
    }
}

MujocoLibrary::~MujocoLibrary() { dlclose(handle_); }

} // namespace Torvi::HardwareAPI::Physics
