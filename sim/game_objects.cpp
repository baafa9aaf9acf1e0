#include "game_objects.h"

#include <algorithm>

#include "memory/game_signatures.h"
#include "sim_memory.h"

namespace sim {

GameObjects::GameObjects() { publish(); }

GameObjects::~GameObjects() {
    if (gameEntityPool == &pool_) gameEntityPool = &gameEmptyPool;
}

GameObject& GameObjects::add(std::uint32_t handle) {
    if (GameObject* existing = find(handle)) return *existing;
    objects_.push_back(std::make_unique<GameObject>());
    entities_.push_back({handle, 0, objects_.back().get()});
    publish();
    return *objects_.back();
}

GameObject* GameObjects::find(std::uint32_t handle) {
    for (GameEntity& entity : entities_) {
        if (entity.handle == handle) return entity.object;
    }
    return nullptr;
}

void GameObjects::remove(std::uint32_t handle) {
    // The object stays allocated: the plug-in may still hold its address.
    std::erase_if(entities_, [handle](const GameEntity& entity) { return entity.handle == handle; });
    publish();
}

void GameObjects::publish() {
    pool_.count = static_cast<std::uint32_t>(entities_.size());
    pool_.entities = entities_.data();
    gameEntityPool = &pool_;
}

const std::uint8_t* gameFunctionAddress(GameFunction function) {
    switch (function) {
        case GameFunction::handleToAddress: return reinterpret_cast<const std::uint8_t*>(&gameHandleToAddress);
        case GameFunction::getPropState: return reinterpret_cast<const std::uint8_t*>(&gameGetPropState);
        case GameFunction::setPropState: return reinterpret_cast<const std::uint8_t*>(&gameSetPropState);
    }
    return nullptr;
}

void setFindable(GameFunction function, bool findable) {
    // The first byte of each signature is fixed; 0xCC there matches none of them.
    const auto index = static_cast<std::size_t>(function);
    writeCode(gameFunctionAddress(function),
              findable ? memory::kGameSignatures[index]->entry()->pattern[0] : std::uint8_t{0xCC});
}

void writeDataCopies(const std::uint8_t* address) {
    const std::uint8_t* page = setPageAccess(address, PageAccess::code);
    std::size_t offset = 64;
    for (const GameFunction function :
         {GameFunction::handleToAddress, GameFunction::getPropState, GameFunction::setPropState}) {
        const std::uint8_t* source = gameFunctionAddress(function);
        for (std::size_t i = 0; i < 24; ++i) writeCode(page + offset + i, source[i]);
        offset += 256;
    }
    setPageAccess(page, PageAccess::data);
}

}  // namespace sim
