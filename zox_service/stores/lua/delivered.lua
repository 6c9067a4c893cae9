-- Answers that were delivered, on their own (no submit took them along).
-- KEYS: 1 held results
-- ARGV: 1 prefix, 2 delivered ttl ms, 3 the caller's clock (ms), then held members (owner, id,
--       cost)
local owners = {}
deliver(KEYS[1], {unpack(ARGV, 4)}, ARGV[2], tonumber(ARGV[3]), owners)
write_counts(ARGV[1], owners)
return 0
