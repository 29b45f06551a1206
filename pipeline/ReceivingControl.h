// All the writer knows of the receiver: how to end receiving, and whether it
// has ended.
#pragma once

class ReceivingControl {
public:
    // Ends receiving; once it has returned nothing more is queued, and the
    // data event is set. More than one thread may call it: the first call
    // does the work, later ones wait until it is done.
    virtual void End() = 0;
    // True once receiving has ended, whoever ended it.
    virtual bool Ended() const = 0;

protected:
    ~ReceivingControl() = default;
};
