#include "operation/OperationState.h"

OperationState& OperationState::Instance() {
    static auto* state = new OperationState;
    return *state;
}
