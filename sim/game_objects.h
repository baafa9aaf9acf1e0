// The stand-in game's own data behind its internal functions: an entity pool
// mapping vehicle handles to game objects, each with its prop-state array.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct GameObject {
    std::uint64_t tag = 0x4F424A45;  // what lies before the states is the game's business
    std::uint64_t reserved = 0;
    std::int32_t propStates[8] = {};
};

struct GameEntity {
    std::uint32_t handle;
    std::uint32_t padding;
    GameObject* object;
};

struct GameEntityPool {
    std::uint32_t count;
    std::uint32_t padding;
#if defined(NOZZLES_NEXT_VERSION)
    std::uint64_t generation;  // new in the next version: the entities move 8 bytes on
#endif
    GameEntity* entities;
};

extern "C" {
extern GameEntityPool* gameEntityPool;
extern GameEntityPool gameEmptyPool;
extern std::uint64_t gameCallCounts[3];
void* __attribute__((ms_abi)) gameHandleToAddress(std::uint32_t handle);
std::int32_t __attribute__((ms_abi)) gameGetPropState(void* object, std::int32_t index);
std::int32_t __attribute__((ms_abi)) gameSetPropState(void* object, std::int32_t index, std::uint32_t state);
}

namespace sim {

// Owns the objects and publishes the pool the machine code reads.
class GameObjects {
public:
    GameObjects();
    ~GameObjects();
    GameObjects(const GameObjects&) = delete;
    GameObjects& operator=(const GameObjects&) = delete;

    GameObject& add(std::uint32_t handle);  // existing object if already there
    GameObject* find(std::uint32_t handle);
    void remove(std::uint32_t handle);  // handleToAddress then gives null for it

private:
    void publish();

    std::vector<std::unique_ptr<GameObject>> objects_;
    std::vector<GameEntity> entities_;
    GameEntityPool pool_{};
};

enum class GameFunction { handleToAddress, getPropState, setPropState };

// Overwrites the first byte of a function's signature so no scan finds it,
// or puts it back.
void setFindable(GameFunction function, bool findable);
const std::uint8_t* gameFunctionAddress(GameFunction function);

}  // namespace sim
