#pragma once
// The string list that device lists are filled into: texts, each with the
// device it names.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class TvxDevice;

// A list of texts, each with a device. FillDeviceList writes into one; a
// combo box's items are adapted to it by a small descendant.
class TvxStrings {
public:
    virtual ~TvxStrings() = default;
    virtual void Clear() = 0;
    virtual int32_t AddObject(const std::string& S, TvxDevice* Device) = 0;
    virtual int32_t Count() const = 0;
    virtual std::string Strings(int32_t Index) const = 0;
    virtual TvxDevice* Objects(int32_t Index) const = 0;
    virtual void BeginUpdate() {}
    virtual void EndUpdate() {}
};

// The plain list: unsorted, duplicates allowed. It never owns the devices.
class TvxStringList : public TvxStrings {
public:
    void Clear() override { items_.clear(); }
    int32_t AddObject(const std::string& S, TvxDevice* Device) override;
    int32_t Count() const override { return int32_t(items_.size()); }
    // ERangeError for an index outside the list.
    std::string Strings(int32_t Index) const override;
    TvxDevice* Objects(int32_t Index) const override;

private:
    void Check(int32_t Index) const;
    std::vector<std::pair<std::string, TvxDevice*>> items_;
};
