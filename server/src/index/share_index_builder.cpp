#include "index/share_index_builder.h"

#include "index/built_storage.h"
#include "index/grams.h"
#include "index/letter_case.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <unordered_map>

namespace cumulo::server {

void ShareIndexBuilder::reserve(std::size_t share_count)
{
    numbers_.reserve(share_count);
    lengths_.reserve(share_count);
}

void ShareIndexBuilder::add(const Share& share)
{
    if (numbers_.size() >= std::numeric_limits<Rank>::max())
        throw std::length_error("the catalogue holds more shares than the search index can number");
    if (share.name.size() > max_name_bytes || share.code.size() > max_code_bytes)
        throw std::length_error("a share's name or code is longer than the catalogue allows");
    folded_.clear();
    characters_.clear();
    fold_case(share.name, folded_, characters_);
    bool folding_changes = folded_ != share.name;
    if (folded_.size() > std::numeric_limits<std::uint16_t>::max())
        throw std::length_error("a share's folded name is longer than the search index can hold");

    numbers_.push_back({share.size, share.shareid, share.uk, texts_.size()});
    lengths_.push_back({static_cast<std::uint16_t>(share.name.size()),
                        static_cast<std::uint16_t>(folding_changes ? folded_.size() : 0),
                        static_cast<std::uint8_t>(share.code.size()), static_cast<std::uint8_t>(share.type)});
    texts_ += share.name;
    texts_ += share.code;
    if (folding_changes)
        texts_ += folded_;
}

IndexParts ShareIndexBuilder::finish()
{
    auto storage = std::make_shared<BuiltStorage>();
    std::size_t count = numbers_.size();

    // Rank order: the places added, sorted by size and then by place.
    {
        std::vector<Rank> by_size(count);
        for (std::size_t i = 0; i < count; ++i)
            by_size[i] = static_cast<Rank>(i);
        std::sort(by_size.begin(), by_size.end(), [this](Rank a, Rank b) {
            return numbers_[a].size != numbers_[b].size ? numbers_[a].size < numbers_[b].size : a < b;
        });
        storage->numbers.reserve(count);
        for (Rank added : by_size)
            storage->numbers.push_back(numbers_[added]);
        numbers_ = {};
        storage->lengths.reserve(count);
        for (Rank added : by_size)
            storage->lengths.push_back(lengths_[added]);
        lengths_ = {};
    }
    texts_.shrink_to_fit();
    storage->texts = std::move(texts_);

    // Each share's grams, in rank order, go straight into their coded lists.
    std::unordered_map<std::uint64_t, std::array<CompactListWriter, share_type_count>> writers;
    std::vector<std::uint64_t> grams;
    for (std::size_t rank = 0; rank < count; ++rank) {
        const ShareNumbers& numbers = storage->numbers[rank];
        const ShareLengths& lengths = storage->lengths[rank];
        std::size_t folded_start = lengths.folded_bytes == 0 ? numbers.texts_start
                                                             : numbers.texts_start + lengths.name_bytes + lengths.code_bytes;
        std::size_t folded_bytes = lengths.folded_bytes == 0 ? lengths.name_bytes : lengths.folded_bytes;
        // Folding a folded name changes nothing: this only splits it into characters.
        folded_.clear();
        characters_.clear();
        fold_case(std::string_view(storage->texts).substr(folded_start, folded_bytes), folded_, characters_);
        grams_of_name(characters_, grams);
        for (std::uint64_t gram : grams)
            writers[gram][lengths.type].append(static_cast<Rank>(rank));
    }

    storage->grams.reserve(writers.size());
    for (const auto& [gram, by_type] : writers)
        storage->grams.push_back(gram);
    std::sort(storage->grams.begin(), storage->grams.end());
    std::vector<ListsByType> lists(storage->grams.size());
    storage->list_bytes.reserve(storage->grams.size() * share_type_count);
    for (std::size_t place = 0; place < storage->grams.size(); ++place) {
        auto found = writers.find(storage->grams[place]);
        for (std::size_t type = 0; type < share_type_count; ++type) {
            CompactListWriter& writer = found->second[type];
            std::uint32_t list_count = writer.count();
            std::vector<std::uint8_t>& bytes = storage->list_bytes.emplace_back(writer.finish());
            if (bytes.size() > std::numeric_limits<std::uint32_t>::max())
                throw std::length_error("a rank list is longer than the search index can hold");
            lists[place][type] = {bytes.data(), list_count, static_cast<std::uint32_t>(bytes.size())};
        }
        writers.erase(found);
    }

    return parts_over(std::move(storage), std::move(lists));
}

IndexParts build_index_parts(std::vector<Share> shares)
{
    ShareIndexBuilder builder;
    builder.reserve(shares.size());
    for (Share& share : shares) {
        builder.add(share);
        share = Share();  // the index keeps its own copy
    }
    return builder.finish();
}

}  // namespace cumulo::server
