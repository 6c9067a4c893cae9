-- Admits jobs within the quotas, each in its turn: a job's virtual time is one past its owner's
-- last, and never behind the job last taken, so a key's flood waits behind one job of a key that
-- comes later. Returns 'ok' or the reason of the refusal, for each job.
-- The bell, one entry per waiting job, counts them for the quota on all. An owner's counters
-- live twice as long as a waiting job from their first job, and are kept alive every 64th.
-- With no solver alive every job is refused: nothing would solve it.
-- KEYS: 1 queue, 2 virtual time, 3 bell, 4 a key that lives while any solver does
-- ARGV: 1 prefix, 2 pending ttl ms, 3-8 limit and reason of: problems of a key, bytes of a key,
--       problems waiting in all; then per job: member, cost, record
local prefix, ttl = ARGV[1], ARGV[2]
local jobs, rings = (#ARGV - 8) / 3, {}
if redis.call('EXISTS', KEYS[4]) == 0 then
  for i = 1, jobs do rings[i] = 'no_solver' end
  return rings
end
local vt = tonumber(redis.call('GET', KEYS[2]) or '0')
for i = 1, jobs do rings[i] = 1 end
local queued = redis.call('RPUSH', KEYS[3], unpack(rings)) - jobs
local owners, answers, entries = {}, {}, {}
for i = 9, #ARGV, 3 do
  local m, cost = ARGV[i], tonumber(ARGV[i + 1])
  local owner = owner_of(m)
  local o = owners[owner]
  if not o then
    local c = redis.call('HMGET', prefix .. 'k:' .. owner, 'pending', 'bytes', 'vt')
    -- Counters that expired under jobs still out would come back below zero.
    o = {math.max(0, tonumber(c[1] or '0')), math.max(0, tonumber(c[2] or '0')),
         tonumber(c[3] or '0'), false, not c[1]}
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
    if o[3] % 64 == 0 then o[5] = true end
  end
  answers[#answers + 1] = answer
end
for owner, o in pairs(owners) do
  if o[4] then
    redis.call('HSET', prefix .. 'k:' .. owner, 'pending', o[1], 'bytes', o[2], 'vt', o[3])
    if o[5] then redis.call('PEXPIRE', prefix .. 'k:' .. owner, 2 * tonumber(ttl)) end
  end
end
if #entries > 0 then redis.call('ZADD', KEYS[1], unpack(entries)) end
if #entries < 2 * jobs then  -- the bell rang for jobs refused
  if queued == 0 then redis.call('DEL', KEYS[3]) else redis.call('LTRIM', KEYS[3], 0, queued - 1) end
end
return answers
