-- A solver is alive for the next lapse; solvers silent past theirs are forgotten.
-- KEYS: 1 solver heartbeats; ARGV: 1 consumer, 2 lapse ms
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now)
return redis.call('ZADD', KEYS[1], now + tonumber(ARGV[2]), ARGV[1])
