-- Admits jobs within the quotas, each in its turn: a job's virtual time is one past its owner's
-- last, and never behind the job last taken, so a key's flood waits behind one job of a key that
-- comes later. Returns 'ok' or the reason of the refusal, for each job.
-- KEYS: 1 queue, 2 virtual time, 3 bell
-- ARGV: 1 prefix, 2 pending ttl ms, 3-8 limit and reason of: problems of a key, bytes of a key,
--       problems waiting in all; then per job: member, cost, record
local prefix, ttl = ARGV[1], ARGV[2]
local vt = tonumber(redis.call('GET', KEYS[2]) or '0')
local queued = redis.call('ZCARD', KEYS[1])
local owners, answers, entries, bell = {}, {}, {}, {}
for i = 9, #ARGV, 3 do
  local m, cost = ARGV[i], tonumber(ARGV[i + 1])
  local owner = owner_of(m)
  local o = owners[owner]
  if not o then
    local c = redis.call('HMGET', prefix .. 'k:' .. owner, 'pending', 'bytes', 'vt')
    o = {tonumber(c[1] or '0'), tonumber(c[2] or '0'), tonumber(c[3] or '0'), false}
    owners[owner] = o
  end
  local answer = 'ok'
  if o[1] + 1 > tonumber(ARGV[3]) then answer = ARGV[4]
  elseif o[2] + cost > tonumber(ARGV[5]) then answer = ARGV[6]
  elseif queued + 1 > tonumber(ARGV[7]) then answer = ARGV[8]
  else
    local score = math.max(o[3] + 1, vt)
    o[1], o[2], o[3], o[4] = o[1] + 1, o[2] + cost, score, true
    queued = queued + 1
    redis.call('SET', prefix .. 'r:' .. id_of(m), ARGV[i + 2], 'PX', ttl)
    entries[#entries + 1] = score
    entries[#entries + 1] = m
    bell[#bell + 1] = 1
  end
  answers[#answers + 1] = answer
end
for owner, o in pairs(owners) do
  if o[4] then
    redis.call('HSET', prefix .. 'k:' .. owner, 'pending', o[1], 'bytes', o[2], 'vt', o[3])
    redis.call('PEXPIRE', prefix .. 'k:' .. owner, ttl)
  end
end
if #entries > 0 then
  redis.call('ZADD', KEYS[1], unpack(entries))
  redis.call('RPUSH', KEYS[3], unpack(bell))
end
return answers
