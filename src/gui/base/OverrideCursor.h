#pragma once

#include <Qt>

// An application-wide cursor for exactly the life of one scope; nested ones stack, and the
// last one gone restores the cursor the user had. The wait cursor of a long operation, or the
// normal arrow over a box that waits for the user while such an operation runs.
class COverrideCursor
{
public:
    explicit COverrideCursor(Qt::CursorShape shape = Qt::WaitCursor);
    ~COverrideCursor();
    COverrideCursor(const COverrideCursor&) = delete;
    COverrideCursor& operator=(const COverrideCursor&) = delete;
};
