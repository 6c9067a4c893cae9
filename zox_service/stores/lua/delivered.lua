-- Answers that were delivered: they stop counting against their owners and are kept only for the
-- delivered time to live. A result delivered again changes nothing.
-- KEYS: 1 held results; ARGV: 1 prefix, 2 delivered ttl ms, then held members (owner, id, cost)
local owners, delivered = {}, {unpack(ARGV, 3)}
for i, first in ipairs(unhold(KEYS[1], delivered)) do
  if first then
    local h = delivered[i]
    add(owners, string.sub(h, 1, 32), 0, -tonumber(string.sub(h, 65)))
    redis.call('PEXPIRE', ARGV[1] .. 'r:' .. string.sub(h, 33, 64), ARGV[2], 'LT')
  end
end
write_counts(ARGV[1], owners)
return 0
