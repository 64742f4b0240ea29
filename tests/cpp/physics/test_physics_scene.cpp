// The physics scene driven cycle by cycle without a loop, on the engine found
// beside MuJoCo's headers when the build was configured: a hand off the tool
// is felt as the spring's pull, the tool moves toward it, and Sync() gives
// the stepped state; a file that is no engine is refused.

#include "Torvi/HardwareAPI/physics/PhysicsScene.hpp"

#include <gtest/gtest.h>
#include <mujoco/mujoco.h>

#include <dlfcn.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

using namespace Torvi::HardwareAPI::Physics;

constexpr const char* kModel = R"(<mujoco><option timestep="0.001"/><worldbody>
  <body name="tool" gravcomp="1"><freejoint/><geom size="0.01" mass="0.1"/></body>
</worldbody></mujoco>)";

/// MuJoCo keeps a few allocations of its own for as long as it is loaded
/// (its static set-up, its XML reader's): made here, they are not counted as
/// leaks. The scene under test is still checked.
template <typename Call> auto WithoutLeakChecks(Call&& call) {
#if defined(__SANITIZE_ADDRESS__)
    const __lsan::ScopedDisabler engine_allocations;
#endif
    return call();
}

/// A model and its data loaded through the test's own handle on the engine.
class LoadedModel {
public:
    LoadedModel() : handle_(OpenEngine()) {
        if (handle_ == nullptr) throw std::runtime_error(dlerror());
        const std::string path = testing::TempDir() + "torvi_scene_model.xml";
        std::ofstream(path) << kModel;
        char error[1000] = "";
        model = WithoutLeakChecks([&] {
            return Function<decltype(&mj_loadXML)>("mj_loadXML")(path.c_str(), nullptr, error,
                                                                 sizeof error);
        });
        std::remove(path.c_str());
        if (model == nullptr) throw std::runtime_error(error);
        data = Function<decltype(&mj_makeData)>("mj_makeData")(model);
    }
    ~LoadedModel() {
        Function<decltype(&mj_deleteData)>("mj_deleteData")(data);
        Function<decltype(&mj_deleteModel)>("mj_deleteModel")(model);
        dlclose(handle_);
    }
    LoadedModel(const LoadedModel&) = delete;
    LoadedModel& operator=(const LoadedModel&) = delete;

    mjModel* model = nullptr;
    mjData* data = nullptr;

private:
    static void* OpenEngine() {
        return WithoutLeakChecks(
            [] { return dlopen(TORVI_MUJOCO_LIBRARY, RTLD_NOW | RTLD_LOCAL); });
    }
    template <typename Type> Type Function(const char* name) {
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): dlsym's way to a function
        return reinterpret_cast<Type>(dlsym(handle_, name));
    }
    void* handle_;
};

TEST(PhysicsScene, PullsTheToolTowardTheHandAndSyncsTheSteppedState) {
    LoadedModel loaded;
    const auto scene = std::make_shared<PhysicsScene>(TORVI_MUJOCO_LIBRARY, loaded.model,
                                                      loaded.data, "tool", Coupling{100.0, 0.0});
    // The hand 1 cm along x from the tool at the origin: 1 N on the tool, -1 N felt.
    const Vector3 felt = scene->Render({{0.01f, 0.0f, 0.0f}, {}, 0.001, 0.0});
    EXPECT_NEAR(felt[0], -1.0f, 1e-6f);
    const SceneSnapshot latest = scene->Latest();
    EXPECT_EQ(latest.steps, 1u);
    EXPECT_NEAR(latest.coupling_force[0], 1.0, 1e-6);
    // One Euler step of 1 N on 0.1 kg for 1 ms: v = 0.01 m/s, x = v dt.
    EXPECT_NEAR(latest.tool_position[0], 1e-5, 1e-9);
    scene->Sync(loaded.model, loaded.data);
    EXPECT_DOUBLE_EQ(loaded.data->qpos[0], latest.tool_position[0]);
    EXPECT_DOUBLE_EQ(loaded.data->xpos[3], latest.tool_position[0]); // forward ran on it
    EXPECT_DOUBLE_EQ(loaded.data->time, 0.001);
}

TEST(PhysicsScene, RefusesAFileThatIsNoEngine) {
    LoadedModel loaded;
    EXPECT_THROW(PhysicsScene("/nonexistent/libmujoco.so", loaded.model, loaded.data, "tool",
                              Coupling{1.0, 0.0}),
                 std::runtime_error);
}

} // namespace
