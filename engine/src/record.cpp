#include "quorl_engine/record.hpp"

#include <cstring>

namespace quorl_engine {

using quorl_protocol::FrameTypes;

void fill_record(const quorl_protocol::Message& message, double time, std::uint64_t seq,
                 FrameRecord& out) {
  out.side = NO_SIDE;
  out.time = time;
  out.seq = seq;
  FrameTypes::visit(message, [&out]<class Row>(Row, const auto& m) {
    out.type = Row::type;
    if constexpr (Row::has_side) out.side = m.side;
    // Groups of four are arrays of doubles without padding: flat in wire order.
    const auto& values = m.*Row::values;
    static_assert(sizeof values == Row::value_count * sizeof(double));
    std::memcpy(out.values.data(), &values, sizeof values);
    out.count = static_cast<std::uint8_t>(Row::value_count);
  });
}

}  // namespace quorl_engine
