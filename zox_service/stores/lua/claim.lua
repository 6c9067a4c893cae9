-- Takes the next job in turn whose owner is not passed over and, if it is small, the small ones
-- right behind it (never past one that is not), up to a number; they are kept under the
-- consumer's claims until answered. Returns member and record of each.
-- KEYS: 1 queue, 2 virtual time, 3 the consumer's claims, 4 bell, 5 the consumer's hand
-- ARGV: 1 prefix, 2 most, 3 bell entries the caller already took into its hand (0 or 1), then
--       owners passed over
local skip = {}
for i = 4, #ARGV do skip[ARGV[i]] = true end
local most, took = tonumber(ARGV[2]), tonumber(ARGV[3])
if took > 0 then redis.call('LREM', KEYS[5], -1, 1) end
local skipping = #ARGV > 3
-- Without owners to pass over the jobs wanted are at the head: taken off, and the rest put back.
local seen = skipping and redis.call('ZRANGE', KEYS[1], 0, most + 63, 'WITHSCORES')
  or redis.call('ZPOPMIN', KEYS[1], most)
local taken, rest, last, open = {}, {}, nil, true
for i = 1, #seen, 2 do
  local m, take = seen[i], false
  if open and not skip[owner_of(m)] then
    local small = string.sub(m, 1, 1) == 's'
    take = #taken == 0 or small
    open = take and small  -- never past a job that is not small
  end
  if take then
    taken[#taken + 1] = m
    last = seen[i + 1]
    if #taken >= most then open = false end
  else
    rest[#rest + 1] = seen[i + 1]
    rest[#rest + 1] = m
  end
end
if #taken == 0 then
  -- Only owners passed over have work: the bell entry stays for a solver that may take it.
  if took > 0 and #seen > 0 then redis.call('RPUSH', KEYS[4], 1) end
  return {}
end
if skipping then redis.call('ZREM', KEYS[1], unpack(taken)) end
if not skipping and #rest > 0 then redis.call('ZADD', KEYS[1], unpack(rest)) end
redis.call('SET', KEYS[2], last)
redis.call('SADD', KEYS[3], unpack(taken))
local names = {}
for i, m in ipairs(taken) do names[i] = ARGV[1] .. 'r:' .. id_of(m) end
local records = redis.call('MGET', unpack(names))
-- Their bell entries, from the end: a job that went with its entry waits at the head.
if #taken > took then redis.call('LREM', KEYS[4], took - #taken, 1) end
local out = {}
for i, m in ipairs(taken) do
  out[#out + 1] = m
  out[#out + 1] = records[i] or ''
end
return out
