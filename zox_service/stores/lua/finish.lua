-- Stores a job's answer once (a job solved twice keeps its first), counts its real size against
-- its owner and tells waiting polls.
-- KEYS: 1 result hash, 2 owner hash, 3 owner expiry set, 4 leases
-- ARGV: 1 id, 2 state, 3 payload or error text, 4 ttl ms, 5 channel, 6 overhead
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
redis.call('ZREM', KEYS[4], ARGV[1])
if redis.call('HDEL', KEYS[2], 'p:' .. ARGV[1]) == 0 then return 0 end
redis.call('HINCRBY', KEYS[2], 'pending', -1)
local ttl = tonumber(ARGV[4])
local old = redis.call('HGET', KEYS[2], 'c:' .. ARGV[1])
if old then
  local cost = string.len(ARGV[3]) + tonumber(ARGV[6])
  redis.call('HINCRBY', KEYS[2], 'bytes', cost - tonumber(old))
  redis.call('HSET', KEYS[2], 'c:' .. ARGV[1], cost)
  redis.call('ZADD', KEYS[3], now + ttl, ARGV[1])
end
redis.call('HDEL', KEYS[1], 'values')
redis.call('HSET', KEYS[1], 'state', ARGV[2], 'payload', ARGV[3])
redis.call('PEXPIRE', KEYS[1], ttl)
redis.call('PUBLISH', ARGV[5], ARGV[1])
return 1
