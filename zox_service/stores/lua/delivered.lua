-- Answers that were delivered, on their own (no submit took them along).
-- KEYS: 1 held results; ARGV: 1 prefix, 2 delivered ttl ms, then held members (owner, id, cost)
local owners = {}
deliver(ARGV[1], KEYS[1], {unpack(ARGV, 3)}, ARGV[2], owners)
write_counts(ARGV[1], owners)
return 0
