{{ config(
    materialized='incremental',
    incremental_strategy='microbatch',
    event_time='activity_date',
    batch_size='day',
    begin='2024-01-01',
) }}

with sessions as (
    select cast(session_started_at as date) as activity_date, count(*) as sessions,
           count(*) filter (where converted) as conversions
    from {{ ref('fct_daily_sessions') }}
    group by 1
),

revenue as (
    select cast(ordered_at as date) as activity_date, sum(amount_eur) as revenue_eur
    from {{ ref('fct_daily_orders') }}
    group by 1
)

select
    cast(coalesce(s.activity_date, r.activity_date) as timestamp) as activity_date,
    coalesce(s.sessions, 0) as sessions,
    coalesce(s.conversions, 0) as conversions,
    coalesce(r.revenue_eur, 0) as revenue_eur
from sessions as s
full outer join revenue as r on r.activity_date = s.activity_date
