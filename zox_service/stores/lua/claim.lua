-- A claim of a solver woken by a bell entry (or looking again): the jobs `take` hands out.
-- KEYS: 1 queue, 2 virtual time, 3 the consumer's claims, 4 bell, 5 the consumer's hand
-- ARGV: 1 prefix, 2 most, 3 bell entries the caller already took into its hand (0 or 1), then
--       owners passed over
local skip = {}
for i = 4, #ARGV do skip[ARGV[i]] = true end
return take(KEYS, ARGV[1], tonumber(ARGV[2]), tonumber(ARGV[3]), skip, #ARGV > 3)
