#include "vxclasses_stringlist.h"

#include "Exceptions.h"

int32_t TvxStringList::AddObject(const std::string& S, TvxDevice* Device)
{
    items_.emplace_back(S, Device);
    return int32_t(items_.size()) - 1;
}

void TvxStringList::Check(int32_t Index) const
{
    if (Index < 0 || Index >= Count())
        throw ERangeError("List index out of bounds (" + std::to_string(Index) + ")");
}

std::string TvxStringList::Strings(int32_t Index) const
{
    Check(Index);
    return items_[size_t(Index)].first;
}

TvxDevice* TvxStringList::Objects(int32_t Index) const
{
    Check(Index);
    return items_[size_t(Index)].second;
}
