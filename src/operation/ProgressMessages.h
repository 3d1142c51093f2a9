#pragma once

#include <QEvent>

// The three reports a worker or the ticker posts to the window of the operation.
// They travel as posted events, so a worker never waits for the UI thread.
enum class ProgressMessage : int {
    Step = QEvent::User + 1,     // advance the bar by one
    Finished = QEvent::User + 2, // the operation has ended; OperationState::failed says how
    Reset = QEvent::User + 3,    // start the bar afresh
};

inline QEvent::Type EventTypeOf(ProgressMessage message) {
    return static_cast<QEvent::Type>(static_cast<int>(message));
}
