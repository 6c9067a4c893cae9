-- Run by every process each second. Jobs of a solver whose heartbeat lapsed (in its claims, or
-- in its hand: bell entries it took) go back to the queue, or fail when they keep killing their
-- solvers or no solver is alive; with no solver alive, waiting jobs fail too, so that their
-- callers hear of it. Results that expired undelivered give their bytes back; results delivered
-- a delivered time to live ago are deleted. Returns the solvers alive.
-- KEYS: 1 solvers, 2 queue, 3 virtual time, 4 bell, 5 held results
-- ARGV: 1 prefix, 2 channel, 3 attempts before a job fails, 4 overhead, 5 most jobs failed per run
local prefix = ARGV[1]
local now = now_ms()
local alive, dead = 0, {}
for _, c in ipairs(redis.call('SMEMBERS', KEYS[1])) do
  if redis.call('EXISTS', prefix .. 's:' .. c) == 1 then alive = alive + 1 else dead[#dead + 1] = c end
end
local owners, out = {}, {held = {}, ended = {}}
local function fail(m, record, text)
  local cost = tonumber(ARGV[4])
  answered(prefix, owners, out, now, m, tonumber(string.sub(record, HEAD + 5, HEAD + 16)),
           'f' .. owner_of(m) .. string.format('%012d', cost) .. text, cost,
           tonumber(string.sub(record, 34, 45)))
end
local none = 'Solve failed: no solver is running'
-- The head of a job's record while it is unanswered; nil once answered or gone.
local function unanswered(m)
  local record = redis.call('GETRANGE', prefix .. 'r:' .. id_of(m), 0, HEAD + 35)
  if string.sub(record, 1, 1) == 'q' then return record end
end
local function take_back(m)
  local name, record = prefix .. 'r:' .. id_of(m), unanswered(m)
  if not record then return end
  local runs = tonumber(string.sub(record, HEAD + 1, HEAD + 3)) + 1
  if runs >= tonumber(ARGV[3]) then
    fail(m, record, 'Solve failed: its solver stopped ' .. runs .. ' times')
  elseif alive == 0 then
    fail(m, record, none)
  else
    redis.call('SETRANGE', name, HEAD, string.format('%03d', runs))
    requeue(prefix, KEYS[2], KEYS[4], m, tonumber(redis.call('GET', KEYS[3]) or '0'))
  end
end
for _, c in ipairs(dead) do
  local claims, hand = prefix .. 'c:' .. c, prefix .. 'h:' .. c
  for _, m in ipairs(redis.call('SMEMBERS', claims)) do take_back(m) end
  for _, e in ipairs(redis.call('LRANGE', hand, 0, -1)) do
    -- A bell entry taken along with its job, or one whose job is still in the queue.
    if #e >= MEMBER then
      take_back(string.sub(e, 1, MEMBER))
    else
      redis.call('RPUSH', KEYS[4], 1)
    end
  end
  redis.call('DEL', claims, hand)
  redis.call('SREM', KEYS[1], c)
end
if alive == 0 then
  local waiting = redis.call('ZPOPMIN', KEYS[2], tonumber(ARGV[5]))
  for i = 1, #waiting, 2 do
    local record = unanswered(waiting[i])
    if record then fail(waiting[i], record, none) end
  end
  -- Jobs that went with their bell entries wait there.
  for _, e in ipairs(redis.call('LRANGE', KEYS[4], 0, tonumber(ARGV[5]) - 1)) do
    if #e >= MEMBER then
      local m = string.sub(e, 1, MEMBER)
      local record = unanswered(m)
      if record then fail(m, record, none) end
      redis.call('LREM', KEYS[4], 1, e)
    end
  end
  if #waiting > 0 then redis.call('LTRIM', KEYS[4], 0, redis.call('ZCARD', KEYS[2]) - 1) end
end
-- Held entries due: an undelivered result expired and gives its bytes back; a delivered one
-- (its score has a half) is deleted.
for _ = 1, 10 do
  local due = redis.call('ZRANGEBYSCORE', KEYS[5], '-inf', now, 'WITHSCORES', 'LIMIT', 0, 1000)
  local gone, names = {}, {}
  for i = 1, #due, 2 do
    local owner, id, cost = held_parts(due[i])
    gone[#gone + 1] = due[i]
    if tonumber(due[i + 1]) % 1 == 0 then
      add(owners, owner, 0, -cost)
    else
      names[#names + 1] = prefix .. 'r:' .. id
    end
  end
  if #gone > 0 then redis.call('ZREM', KEYS[5], unpack(gone)) end
  if #names > 0 then redis.call('DEL', unpack(names)) end
  if #gone < 1000 then break end
end
if #out.held > 0 then redis.call('ZADD', KEYS[5], unpack(out.held)) end
write_counts(prefix, owners)
if #out.ended > 0 then redis.call('PUBLISH', ARGV[2], table.concat(out.ended)) end
return alive
