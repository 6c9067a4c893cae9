-- A job's state for its owner; a delivered result keeps only its delivered time to live.
-- KEYS: 1 result hash, 2 owner expiry set; ARGV: 1 owner, 2 id, 3 delivered ttl ms
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local r = redis.call('HMGET', KEYS[1], 'owner', 'state', 'payload')
if r[1] ~= ARGV[1] then return {r[1] and 'other' or 'unknown'} end
if r[2] == 'done' then
  local grace = tonumber(ARGV[3])
  if redis.call('PTTL', KEYS[1]) > grace then
    redis.call('PEXPIRE', KEYS[1], grace)
    redis.call('ZADD', KEYS[2], 'XX', now + grace, ARGV[2])
  end
end
return {r[2], r[3]}
