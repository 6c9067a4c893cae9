-- Admits a job within the quotas the caller passes, and queues it behind its owner's others.
-- KEYS: 1 result hash, 2 owner hash, 3 owner expiry set, 4 owner queue, 5 ready owners,
--       6 totals hash, 7 solver heartbeats, 8 id secret
-- ARGV: 1 id, 2 owner, 3 kind, 4 values, 5 cost, 6 pending ttl ms, 7 result ttl ms, 8 secret,
--       9 target (decimal), then quota rows of five: scope ('key' or 'all'), counter, addend,
--       limit, reason
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
if redis.call('GET', KEYS[8]) ~= ARGV[8] then return 'secret' end
if redis.call('ZCOUNT', KEYS[7], now, '+inf') == 0 then return 'no_solver' end
-- Results of this owner that expired give their bytes back.
local gone = redis.call('ZRANGEBYSCORE', KEYS[3], '-inf', now)
for _, id in ipairs(gone) do
  local c = redis.call('HGET', KEYS[2], 'c:' .. id)
  if c then
    redis.call('HINCRBY', KEYS[2], 'bytes', -tonumber(c))
    redis.call('HDEL', KEYS[2], 'c:' .. id)
  end
end
if #gone > 0 then redis.call('ZREMRANGEBYSCORE', KEYS[3], '-inf', now) end
local scoped = {key = KEYS[2], all = KEYS[6]}
for i = 10, #ARGV, 5 do
  local used = tonumber(redis.call('HGET', scoped[ARGV[i]], ARGV[i + 1]) or '0')
  if used + tonumber(ARGV[i + 2]) > tonumber(ARGV[i + 3]) then return ARGV[i + 4] end
end
for i = 10, #ARGV, 5 do
  redis.call('HINCRBY', scoped[ARGV[i]], ARGV[i + 1], ARGV[i + 2])
end
local ttl = tonumber(ARGV[6])
redis.call('HSET', KEYS[2], 'c:' .. ARGV[1], ARGV[5], 'p:' .. ARGV[1], 1)
redis.call('ZADD', KEYS[3], now + ttl, ARGV[1])
redis.call('PEXPIRE', KEYS[2], ttl)
redis.call('PEXPIRE', KEYS[3], ttl)
redis.call('HSET', KEYS[1], 'owner', ARGV[2], 'state', 'q', 'kind', ARGV[3], 'values', ARGV[4],
           'ttl', ARGV[7], 'target', ARGV[9])
redis.call('PEXPIRE', KEYS[1], ttl)
if redis.call('RPUSH', KEYS[4], ARGV[1]) == 1 then redis.call('RPUSH', KEYS[5], ARGV[2]) end
redis.call('PEXPIRE', KEYS[4], ttl)
return 'ok'
