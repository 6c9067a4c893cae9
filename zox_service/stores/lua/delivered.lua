-- Answers that were delivered: they stop counting against their owners and are kept only for the
-- delivered time to live. A result delivered again changes nothing.
-- KEYS: 1 held results; ARGV: 1 prefix, 2 delivered ttl ms, then held members (owner, id, cost)
local prefix, grace = ARGV[1], ARGV[2]
local owners, gone = {}, {}
local first = {}
if #ARGV <= 4 then
  for i = 3, #ARGV do first[i - 2] = redis.call('ZREM', KEYS[1], ARGV[i]) == 1 end
else
  local scores = redis.call('ZMSCORE', KEYS[1], unpack(ARGV, 3))
  for i = 3, #ARGV do
    first[i - 2] = scores[i - 2] and true or false
    if first[i - 2] then gone[#gone + 1] = ARGV[i] end
  end
  if #gone > 0 then redis.call('ZREM', KEYS[1], unpack(gone)) end
end
for i = 3, #ARGV do
  if first[i - 2] then
    local h = ARGV[i]
    add(owners, string.sub(h, 1, 32), 0, -tonumber(string.sub(h, 65)))
    redis.call('PEXPIRE', prefix .. 'r:' .. string.sub(h, 33, 64), grace, 'LT')
  end
end
write_counts(prefix, owners)
return 0
