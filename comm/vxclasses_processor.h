#pragma once
// What an I/O component needs of a data processor. The full processor
// (send hook, timer, chaining, logging) is built on this class.
#include "Component.h"

#include <cstdint>

class TvxBaseIO;

class TvxCustomDataProcessor : public TComponent {
    Q_OBJECT
public:
    using TComponent::TComponent;

    // Attaches the processor to an I/O component or, with nullptr, detaches it.
    virtual void SetIO(TvxBaseIO* IO) = 0;
    // Received bytes; setting Handled keeps them out of the terminal.
    virtual void DataReceived(void* Buffer, uint32_t Received, bool& Handled) = 0;
    // Sets Busy while the processor is still sending.
    virtual void TxEmpty(bool& Busy) = 0;
};
